// The body of a 206 answer read as it arrives: each byte run reaches the
// file offset its part names, whatever the line ends, order or chunking.

#include <gtest/gtest.h>

#include <map>

#include "multipart.h"

namespace {

constexpr uint64_t kFileSize = 1000;

class RangeBody : public ::testing::Test {
 protected:
  // Feeds `body` in chunks of `chunk` bytes, until the reader has had
  // enough; true when it was taken and ended well.
  bool Read(const std::string& content_type, const std::string& content_range,
            const std::string& body, size_t chunk = 1 << 20) {
    reader.reset(new RangeBodyReader(content_type, content_range, kFileSize, requested,
                                     [this](uint64_t offset, const char* data, size_t n) {
                                       for (size_t i = 0; i < n; ++i) file[offset + i] = data[i];
                                       return true;
                                     }));
    for (size_t at = 0; at < body.size(); at += chunk)
      if (!reader->Feed(body.data() + at, std::min(chunk, body.size() - at))) break;
    return reader->Finish();
  }

  // The bytes delivered at [offset, offset + length), '?' where none was.
  std::string At(uint64_t offset, uint64_t length) const {
    std::string out;
    for (uint64_t i = offset; i < offset + length; ++i) {
      const auto found = file.find(i);
      out += found == file.end() ? '?' : found->second;
    }
    return out;
  }

  std::vector<ByteRange> requested = {{10, 5}, {100, 3}};
  std::unique_ptr<RangeBodyReader> reader;
  std::map<uint64_t, char> file;
};

const char kReordered[] =
    "\r\n--XyZ\r\nContent-Type: application/zip\r\nContent-Range: bytes 100-102/1000\r\n\r\n"
    "abc\r\n--XyZ\r\nContent-Range: bytes 10-14/1000\r\n\r\nhello\r\n--XyZ--\r\n";

}  // namespace

TEST_F(RangeBody, CrlfRangesInAnyOrderWithAQuotedBoundary) {
  EXPECT_TRUE(Read("multipart/byteranges; boundary=\"XyZ\"", "", kReordered));
  EXPECT_EQ(At(10, 5), "hello");
  EXPECT_EQ(At(100, 3), "abc");
  EXPECT_TRUE(reader->Uncovered().empty());
}

TEST_F(RangeBody, BoundarySplitAcrossChunks) {
  EXPECT_TRUE(Read("multipart/byteranges; boundary=XyZ", "", kReordered, 1));
  EXPECT_EQ(At(10, 5) + At(100, 3), "helloabc");
}

TEST_F(RangeBody, LfOnlyLineEnds) {
  EXPECT_TRUE(Read("Multipart/Byteranges;boundary=b", "",
                   "--b\ncontent-range: bytes 10-14/1000\n\nhello\n--b\n"
                   "Content-Range: bytes 100-102/1000\n\nabc\n--b--\n"));
  EXPECT_EQ(At(10, 5) + At(100, 3), "helloabc");
}

TEST_F(RangeBody, TwoRangesMergedIntoOne) {
  requested = {{10, 2}, {13, 2}};
  EXPECT_TRUE(Read("multipart/byteranges; boundary=b", "",
                   "--b\r\nContent-Range: bytes 10-14/1000\r\n\r\nhello\r\n--b--\r\n"));
  EXPECT_EQ(At(10, 5), "he?lo");  // the byte between them was not asked for
  EXPECT_TRUE(reader->Uncovered().empty());
}

TEST_F(RangeBody, SingleRangeAnswer) {
  requested = {{10, 5}};
  EXPECT_TRUE(Read("application/zip", "bytes 10-14/1000", "hello"));
  EXPECT_EQ(At(10, 5), "hello");
}

TEST_F(RangeBody, RangeLeftOutIsReported) {
  EXPECT_TRUE(Read("multipart/byteranges; boundary=b", "",
                   "--b\r\nContent-Range: bytes 10-14/1000\r\n\r\nhello\r\n--b--\r\n"));
  EXPECT_EQ(reader->Uncovered(), (std::vector<ByteRange>{{100, 3}}));
}

TEST_F(RangeBody, RangeWithoutContentRangeIsMalformed) {
  EXPECT_FALSE(Read("multipart/byteranges; boundary=b", "", "--b\r\n\r\nhello\r\n--b--\r\n"));
  EXPECT_TRUE(reader->malformed());
}

// What a hostile or broken server sends beyond what was asked is never
// delivered, and never read for long.
TEST_F(RangeBody, OnlyAskedBytesOnceAndNothingAfterTheEnd) {
  const std::string part = "--b\r\nContent-Range: bytes 10-14/1000\r\n\r\nhello\r\n";
  struct Row {
    const char* what;
    std::string body;
    bool well_ended;
    const char* delivered;  // At(10, 5) + At(100, 3)
  } rows[] = {
      {"a part not asked for", "--b\r\nContent-Range: bytes 500-504/1000\r\n\r\nxxxxx\r\n", false,
       "????????"},
      {"a part twice", part + part, false, "hello???"},
      {"a part overlapping one delivered",
       part + "--b\r\nContent-Range: bytes 12-101/1000\r\n\r\n" + std::string(90, 'x'), false,
       "hello???"},
      {"an endless epilogue", part + "--b--\r\n" + std::string(1 << 20, 'e'), true, "hello???"},
      {"an endless preamble", std::string(1 << 20, '\n') + part, false, "????????"},
      {"a part far larger than asked",
       "--b\r\nContent-Range: bytes 0-999/1000\r\n\r\n" + std::string(1000, 'y'), false,
       "????????"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    file.clear();
    EXPECT_EQ(Read("multipart/byteranges; boundary=b", "", row.body), row.well_ended);
    EXPECT_EQ(At(10, 5) + At(100, 3), row.delivered);
    EXPECT_LE(file.size(), 8u);
  }
}
