#pragma once

// Range requests of a delta update: the tail of the server's package, then
// the batches of ranges its plan needs, every one after the first with
// If-Range on the validator the tail came with, so that a package replaced
// on the server meanwhile is noticed rather than mixed in. Each request is
// made as the download makes its own (request.h): the same credentials,
// CAs, proxy, stall limits and deadline, and a failure that waiting may
// cure is retried with the same back-off. Main thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_range.h"
#include "download.h"
#include "proxy.h"

class RangeTransport {
 public:
  RangeTransport(const char* url, const char* credentials, const char* trusted_ca_pem,
                 const ProxyChoice& proxy, const TransferLimits& limits,
                 std::chrono::steady_clock::time_point deadline);

  enum class TailAnswer {
    kTail,          // *tail holds the package's last bytes, from *tail_start
    kNotModified,   // 304: the server's package is the installed one
    kNoRanges,      // the server answered with the whole package, or refused the range
    kUnidentified,  // no strong ETag nor Last-Modified, or no total size: no If-Range
    kFailed,        // the transfer failed, retries included
  };
  // Asks for the last `length` bytes of the package, on the installed
  // package's `conditions` (a 304 ends the delta as it ends a download);
  // `answer` gets the server's ETag and Last-Modified.
  TailAnswer FetchTail(uint64_t length, const ConditionalGet& conditions, std::string* tail,
                       uint64_t* tail_start, ConditionalGet* answer);
  // Bytes [start, end) of the same package into *bytes. False when they
  // could not be had (see replaced()).
  bool FetchSpan(uint64_t start, uint64_t end, std::string* bytes);
  // A FetchRanges (delta_rebuild.h): the batch in one request, as
  // multipart/byteranges or one part; what a server leaves out, and the
  // whole batch when it refuses several ranges in one request (200, 416,
  // 501), in requests of one range each.
  bool Fetch(const std::vector<ByteRange>& batch, const DeliverBytes& deliver);

  // The package's size and validator, from the tail's answer.
  uint64_t size() const { return size_; }
  const PartialSource& source() const { return source_; }
  // An answer showed that the package is no longer the one whose tail came.
  bool replaced() const { return replaced_; }
  // Requests after the tail's, and the bytes all answers brought.
  unsigned requests() const { return requests_; }
  uint64_t received() const { return received_; }

  struct Answer;

 private:
  // One request for `range` ("a-b,c-d", "a-" or "-n"), with `conditions`
  // when given and If-Range once the tail's validator is known; the body
  // of a 206 goes to `body`, any other body is cut off.
  Answer Request(const std::string& range, const ConditionalGet* conditions,
                 const std::function<bool(const Answer&, const char*, std::size_t)>& body);
  // After a failed attempt (`progressed`: it brought bytes): waits and says
  // so when another attempt may help, within the limits and the deadline.
  bool Again(const Answer& answer, bool progressed, int* fruitless);
  // One request for `ranges`: true when it was answered with a 206, then
  // *uncovered holds what it left out; *refused when the server will not
  // serve these ranges in one request.
  bool FetchOne(const std::vector<ByteRange>& ranges, const DeliverBytes& deliver,
                std::vector<ByteRange>* uncovered, bool* refused, Answer* answer);

  const char* url_;
  const char* credentials_;
  const char* trusted_ca_pem_;
  ProxyChoice proxy_;
  TransferLimits limits_;
  std::chrono::steady_clock::time_point deadline_;
  uint64_t size_ = 0;
  PartialSource source_;
  bool replaced_ = false;
  unsigned requests_ = 0;
  uint64_t received_ = 0;
};
