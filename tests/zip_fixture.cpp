#include "zip_fixture.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support.h"

namespace zip_fixture {

namespace {

std::string RawDeflate(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

void WriteZip(const std::string& path, const std::vector<Entry>& entries) {
  zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (!zf) throw std::runtime_error("zipOpen64 " + path);
  for (const Entry& e : entries) {
    zip_fileinfo info{};
    info.dosDate = e.dos_date_time;
    uLong made_by = 20;  // MS-DOS
    if (e.unix_mode) {
      made_by = (3u << 8) | 20;
      info.external_fa = (0100000ul | e.unix_mode) << 16;
    }
    const bool raw = e.wrong_crc;
    const int method = e.deflate ? Z_DEFLATED : 0;
    if (zipOpenNewFileInZip4_64(zf, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                6, raw ? 1 : 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0,
                                made_by, e.utf8_flag ? 1u << 11 : 0, e.zip64 ? 1 : 0) != ZIP_OK)
      throw std::runtime_error("zipOpenNewFileInZip4_64 " + e.name);
    if (raw) {
      const std::string stored = e.deflate ? RawDeflate(e.data) : e.data;
      zipWriteInFileInZip(zf, stored.data(), static_cast<unsigned>(stored.size()));
      const uLong crc =
          crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
      zipCloseFileInZipRaw64(zf, e.data.size(), crc ^ 0x5A5A5A5Aul);
    } else {
      if (!e.data.empty())
        zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size()));
      zipCloseFileInZip(zf);
    }
  }
  if (zipClose(zf, nullptr) != ZIP_OK) throw std::runtime_error("zipClose " + path);
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed ? seed : 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

Redirect::Redirect() {
  static int counter = 0;
  const char* base = getenv("TMPDIR");
  const std::string dir = base && *base ? base : "/tmp";
  const std::string stem =
      dir + "/extract-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  out_path_ = stem + ".out";
  err_path_ = stem + ".err";
  fflush(stdout);
  fflush(stderr);
  saved_out_ = dup(1);
  saved_err_ = dup(2);
  const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
}

Output Redirect::Finish() {
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out_, 1);
  dup2(saved_err_, 2);
  close(saved_out_);
  close(saved_err_);
  finished_ = true;
  Output output{testing_support::ReadFile(out_path_), testing_support::ReadFile(err_path_)};
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
  return output;
}

Redirect::~Redirect() {
  if (!finished_) Finish();
}

}  // namespace zip_fixture
