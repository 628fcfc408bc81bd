#include "signature.h"

#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "file_output.h"

namespace {

// minisign's binary layouts, each the base64 payload of one line.
constexpr size_t kAlgorithmBytes = 2;
constexpr size_t kKeyIdBytes = 8;
constexpr size_t kPublicKeyBytes = kAlgorithmBytes + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES;
constexpr size_t kSignatureBytes = kAlgorithmBytes + kKeyIdBytes + crypto_sign_BYTES;

// A signature file is four short lines; a large one is not one.
constexpr size_t kMaxSignatureFile = 16 * 1024;

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";

struct PublicKey {
  unsigned char id[kKeyIdBytes];
  unsigned char key[crypto_sign_PUBLICKEYBYTES];
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Exactly `size` bytes of standard, padded base64; false for anything else.
bool DecodeBase64(const std::string& text, unsigned char* out, size_t size) {
  size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return decoded == size && end == text.data() + text.size();
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The keys that decode; a line that does not is skipped, so a mistyped key
// can only make fewer signatures verify.
std::vector<PublicKey> ParseKeys(const char* keys) {
  std::vector<PublicKey> parsed;
  for (const std::string& part : Split(keys, ';')) {
    unsigned char raw[kPublicKeyBytes];
    if (!DecodeBase64(Trim(part), raw, sizeof raw) || std::memcmp(raw, "Ed", 2) != 0) continue;
    PublicKey key;
    std::memcpy(key.id, raw + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(key.key, raw + kAlgorithmBytes + kKeyIdBytes, sizeof key.key);
    parsed.push_back(key);
  }
  return parsed;
}

// As minisign prints it: the eight bytes read as a little-endian number.
std::string KeyIdText(const unsigned char* id) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = kKeyIdBytes; i-- > 0;) {
    text += kDigits[id[i] >> 4];
    text += kDigits[id[i] & 15];
  }
  return text;
}

// The whole file, when it is no larger than kMaxSignatureFile; a larger one
// reads as that many bytes and one more, which no signature file is.
bool ReadSmallFile(const Path& path, std::string* content) {
  FilePtr file = OpenFileForReading(path);
  if (!file) return false;
  content->resize(kMaxSignatureFile + 1);
  content->resize(std::fread(&(*content)[0], 1, content->size(), file.get()));
  return std::ferror(file.get()) == 0;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool HasPublicKeys(const char* keys) { return !Trim(keys).empty(); }

bool VerifyPackageSignature(const char* keys, const Path& signature,
                            const unsigned char (&blake2b)[64], std::string* trusted_comment,
                            std::string* reason) {
  if (sodium_init() < 0) {
    *reason = "the signature library cannot start";
    return false;
  }
  std::string content;
  if (!ReadSmallFile(signature, &content)) {
    *reason = "its signature file update.zip.minisig is missing or cannot be read";
    return false;
  }
  // Four lines: untrusted comment, signature, trusted comment, global
  // signature; a last line end is optional, CR LF is accepted.
  std::vector<std::string> lines = Split(content, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  unsigned char sig[kSignatureBytes];
  unsigned char global[crypto_sign_BYTES];
  if (content.size() > kMaxSignatureFile || lines.size() != 4 ||
      !StartsWith(lines[0], kUntrustedPrefix) || !DecodeBase64(lines[1], sig, sizeof sig) ||
      !StartsWith(lines[2], kTrustedPrefix) || !DecodeBase64(lines[3], global, sizeof global)) {
    *reason = "its signature file update.zip.minisig is damaged";
    return false;
  }
  const std::string key_id = KeyIdText(sig + kAlgorithmBytes);
  if (std::memcmp(sig, "Ed", 2) == 0) {
    *reason = "it is signed with minisign's legacy algorithm (key id " + key_id +
              "); sign it with a current minisign, without -l";
    return false;
  }
  if (std::memcmp(sig, "ED", 2) != 0) {
    *reason = "its signature uses an unknown algorithm (key id " + key_id + ")";
    return false;
  }
  const std::vector<PublicKey> known = ParseKeys(keys);
  const PublicKey* key = nullptr;
  for (const PublicKey& candidate : known) {
    if (std::memcmp(candidate.id, sig + kAlgorithmBytes, kKeyIdBytes) == 0) key = &candidate;
  }
  if (!key) {
    *reason = "it is signed with key id " + key_id + ", which this updater does not trust";
    return false;
  }
  const unsigned char* package_signature = sig + kAlgorithmBytes + kKeyIdBytes;
  if (crypto_sign_verify_detached(package_signature, blake2b, sizeof blake2b, key->key) != 0) {
    *reason = "its signature does not match the package (key id " + key_id + ")";
    return false;
  }
  // The global signature covers the package's signature and the comment.
  const std::string comment = lines[2].substr(std::strlen(kTrustedPrefix));
  std::string signed_text(reinterpret_cast<const char*>(package_signature), crypto_sign_BYTES);
  signed_text += comment;
  if (crypto_sign_verify_detached(global,
                                  reinterpret_cast<const unsigned char*>(signed_text.data()),
                                  signed_text.size(), key->key) != 0) {
    *reason = "its trusted comment does not match its signature (key id " + key_id + ")";
    return false;
  }
  *trusted_comment = comment;
  return true;
}

bool SignedTimestamp(const std::string& trusted_comment, int64_t* timestamp) {
  static const char kField[] = "timestamp:";
  for (size_t at = trusted_comment.find(kField); at != std::string::npos;
       at = trusted_comment.find(kField, at + 1)) {
    if (at > 0 && trusted_comment[at - 1] != '\t' && trusted_comment[at - 1] != ' ') continue;
    const size_t digits = at + sizeof kField - 1;
    size_t end = digits;
    while (end < trusted_comment.size() && end - digits < 18 && trusted_comment[end] >= '0' &&
           trusted_comment[end] <= '9')
      ++end;
    if (end == digits) continue;
    *timestamp = std::strtoll(trusted_comment.substr(digits, end - digits).c_str(), nullptr, 10);
    return true;
  }
  return false;
}
