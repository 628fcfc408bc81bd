#pragma once

// Zip archives made for the extraction tests with the zip writer that comes
// with the unzip library, and output captured from the calling process.

#include <cstdint>
#include <string>
#include <vector>

namespace zip_fixture {

// 2024-03-15 10:20:30 as an MS-DOS date/time.
constexpr uint32_t kDosTime =
    ((2024u - 1980u) << 25) | (3u << 21) | (15u << 16) | (10u << 11) | (20u << 5) | (30u / 2);

struct Entry {
  std::string name;
  std::string data;
  uint32_t dos_date_time = kDosTime;
  bool deflate = true;
  unsigned unix_mode = 0;  // nonzero: made on Unix, a regular file with these bits
  bool wrong_crc = false;  // store a CRC-32 that does not match the data
  bool zip64 = false;      // Zip64 extra fields
  bool utf8_flag = false;  // mark the name as UTF-8 (flag bit 11)
};

// Writes the entries, in order, as a zip archive at path.
void WriteZip(const std::string& path, const std::vector<Entry>& entries);

// Deterministic bytes that do not compress.
std::string RandomBytes(size_t size, uint32_t seed);

struct Output {
  std::string out, err;
};

// Sends this process's standard output and error to files until Finish,
// which returns what was written to them.
class Redirect {
 public:
  Redirect();
  ~Redirect();
  Output Finish();

 private:
  int saved_out_, saved_err_;
  std::string out_path_, err_path_;
  bool finished_ = false;
};

// Runs body with standard output and error captured.
template <class Body>
Output Capture(Body body) {
  Redirect redirect;
  body();
  return redirect.Finish();
}

}  // namespace zip_fixture
