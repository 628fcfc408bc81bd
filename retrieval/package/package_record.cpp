#include "package_record.h"

#include <cstdlib>
#include <set>

#include "durable.h"

namespace {

bool AllOf(const std::string& text, const char* allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

// Decimal digits only, without a sign, small enough for 63 bits.
bool ParseCount(const std::string& text, uint64_t* value) {
  if (!AllOf(text, "0123456789") || text.size() > 18) return false;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

// A header value kept as one line of the record: printable text only.
bool IsHeaderText(const std::string& text) {
  if (text.empty() || text.size() > 1024) return false;
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

std::string HexOf(const unsigned char* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

bool ReadPackageRecord(const Path& path, PackageRecord* record) {
  std::string content;
  // A record is a few lines; anything large is not one.
  if (!ReadWholeFile(path, &content) || content.size() > 64 * 1024) return false;
  if (content.empty() || content.back() != '\n') return false;
  PackageRecord read;
  std::set<std::string> seen;
  for (size_t start = 0; start < content.size();) {
    const size_t end = content.find('\n', start);
    const std::string line = content.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
    if (!seen.insert(name).second) return false;
    uint64_t number = 0;
    if (name == "timestamp") {
      if (!ParseCount(value, &number)) return false;
      read.has_timestamp = true;
      read.timestamp = static_cast<int64_t>(number);
    } else if (name == "blake2b") {
      if (value.size() != 128 || !AllOf(value, "0123456789abcdef")) return false;
      read.blake2b = value;
    } else if (name == "sha256") {
      // An earlier version's record: its timestamp and conditions still
      // count.
      if (value.size() != 64 || !AllOf(value, "0123456789abcdef")) return false;
    } else if (name == "size") {
      if (!ParseCount(value, &read.size)) return false;
    } else if (name == "etag") {
      if (!IsHeaderText(value)) return false;
      read.etag = value;
    } else if (name == "last-modified") {
      if (!IsHeaderText(value)) return false;
      read.last_modified = value;
    } else {
      return false;
    }
  }
  if (seen.count("blake2b") + seen.count("sha256") != 1 || !seen.count("size")) return false;
  *record = read;
  return true;
}

bool WritePackageRecord(const Path& path, const PackageRecord& record) {
  std::string content;
  if (record.has_timestamp) content += "timestamp=" + std::to_string(record.timestamp) + "\n";
  content += "blake2b=" + record.blake2b + "\n";
  content += "size=" + std::to_string(record.size) + "\n";
  // A value that would break the one-line form is left out, not mangled.
  if (IsHeaderText(record.etag)) content += "etag=" + record.etag + "\n";
  if (IsHeaderText(record.last_modified)) content += "last-modified=" + record.last_modified + "\n";

  return WriteFileAtomically(path, content);
}
