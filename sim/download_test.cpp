#include "download.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One record as the update program streams it from an absolute file.
std::string record(uint32_t address, const std::string &data, uint16_t lead = 0x0101) {
  std::string r;
  r += static_cast<char>(lead >> 8);
  r += static_cast<char>(lead & 0xFF);
  r += static_cast<char>(data.size() >> 8);
  r += static_cast<char>(data.size() & 0xFF);
  r += static_cast<char>((address >> 8) & 0xFF);  // low word first
  r += static_cast<char>(address & 0xFF);
  r += static_cast<char>(address >> 24);
  r += static_cast<char>((address >> 16) & 0xFF);
  r += data;
  if (data.size() % 2) {
    r += '\xAA';  // fill byte
  }
  return r;
}

const std::string kEnd("\0\0", 2);

size_t feed(download_receiver &d, const std::string &bytes) {
  return d.feed(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

// Feeds in pieces of `piece` bytes, as a slow network would deliver them.
size_t feed_in_pieces(download_receiver &d, const std::string &bytes, size_t piece) {
  size_t used = 0;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    used += feed(d, bytes.substr(at, piece));
  }
  return used;
}

std::string memory_at(const flash_memory &m, uint32_t address, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    uint8_t b;
    out += m.read(address + static_cast<uint32_t>(i), &b) ? static_cast<char>(b) : '?';
  }
  return out;
}

}  // namespace

TEST(Download, WellFormedStreamInAnyPieces) {
  std::string stream = record(0x10040000, "hello") + record(0x10040005, std::string(250, 'x')) +
                       record(0x10040000 + 255, "!") + kEnd;
  for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
    download_receiver d(256);
    EXPECT_EQ(feed_in_pieces(d, stream, piece), stream.size()) << piece;
    ASSERT_EQ(d.current(), download_receiver::state::done) << piece;
    EXPECT_TRUE(d.acceptable()) << d.reason();
    EXPECT_EQ(d.record_count(), 3u);
    EXPECT_EQ(d.data_bytes(), 256u);
    EXPECT_EQ(d.stream_bytes(), stream.size());
    flash_memory m;
    d.commit(m);
    EXPECT_EQ(memory_at(m, 0x10040000, 6), "hellox");
    EXPECT_EQ(memory_at(m, 0x10040000 + 254, 2), "x!");
    EXPECT_EQ(m.size(), 256u);
  }
}

TEST(Download, AddressIsLowWordFirst) {
  // Bytes 4..7 = 00 28 12 34 mean 0x12340028.
  std::string r(
      "\x01\x01\x00\x02\x00\x28\x12\x34"
      "ab",
      10);
  download_receiver d(2);
  feed(d, r + kEnd);
  ASSERT_TRUE(d.acceptable()) << d.reason();
  flash_memory m;
  d.commit(m);
  EXPECT_EQ(memory_at(m, 0x12340028, 2), "ab");
}

TEST(Download, StopsRightAfterTheEndAndLeavesTheRest) {
  std::string stream = record(0x400000, "abc") + kEnd;
  download_receiver d(3);
  EXPECT_EQ(feed(d, stream + "ver\n"), stream.size());
  EXPECT_EQ(d.current(), download_receiver::state::done);
  EXPECT_EQ(feed(d, "more"), 0u);
}

TEST(Download, EmptyStreamAndZeroCountRecords) {
  download_receiver empty(0);
  feed(empty, kEnd);
  EXPECT_TRUE(empty.acceptable()) << empty.reason();
  EXPECT_EQ(empty.record_count(), 0u);

  // A zero-count record still counts for the span, as the program's scan
  // counts it for the announced size.
  download_receiver d(5);
  feed(d, record(0x1000, "") + record(0x1001, "abcd") + kEnd);
  EXPECT_TRUE(d.acceptable()) << d.reason();
  download_receiver far(4);
  feed(far, record(0x0F00, "") + record(0x1000, "abcd") + kEnd);
  EXPECT_FALSE(far.acceptable());
}

TEST(Download, BadCountIsMalformedAndSwallowsTheRest) {
  std::string bad("\x01\x01\x00\xFB\x00\x00\x00\x40", 8);  // 251 bytes
  download_receiver d(0x1000);
  std::string stream = record(0x400000, "ok") + bad + std::string(300, 'z') + kEnd;
  EXPECT_EQ(feed(d, stream), stream.size());
  EXPECT_EQ(d.current(), download_receiver::state::malformed);
  EXPECT_FALSE(d.acceptable());
  EXPECT_NE(d.reason().find("byte count of 251"), std::string::npos) << d.reason();
  EXPECT_EQ(feed(d, kEnd), 2u);  // still swallowing: the end can't be found any more
  flash_memory m;
  d.commit(m);
  EXPECT_EQ(m.size(), 0u);  // not even the good first record
}

TEST(Download, RecordRunningPastTheTopOfMemoryIsMalformed) {
  download_receiver d(0x10);
  feed(d, record(0xFFFFFFFE, "abc") + kEnd);
  EXPECT_EQ(d.current(), download_receiver::state::malformed);
  download_receiver edge(0x10);
  feed(edge, record(0xFFFFFFFE, "ab") + kEnd);
  EXPECT_TRUE(edge.acceptable()) << edge.reason();
}

TEST(Download, ShortStreamsAreNeverAcceptable) {
  std::string full = record(0x400000, "abcde") + kEnd;
  // Cut anywhere before the end marker is complete.
  for (size_t cut = 0; cut < full.size(); ++cut) {
    download_receiver d(5);
    feed(d, full.substr(0, cut));
    EXPECT_EQ(d.current(), download_receiver::state::receiving) << cut;
    EXPECT_FALSE(d.acceptable()) << cut;
    EXPECT_NE(d.reason().find("ended inside a record"), std::string::npos);
    flash_memory m;
    d.commit(m);
    EXPECT_EQ(m.size(), 0u);
  }
}

TEST(Download, SpanAndByteCountMustFitTheAnnouncedCount) {
  std::string spread = record(0x400000, "ab") + record(0x400010, "cd") + kEnd;  // span 0x12
  download_receiver exact(0x12);
  feed(exact, spread);
  EXPECT_TRUE(exact.acceptable()) << exact.reason();
  download_receiver short_by_one(0x11);
  feed(short_by_one, spread);
  EXPECT_FALSE(short_by_one.acceptable());
  EXPECT_NE(short_by_one.reason().find("span"), std::string::npos) << short_by_one.reason();

  // Overlapping records: span 4 fits, 8 data bytes do not.
  download_receiver overlap(4);
  feed(overlap, record(0x400000, "abcd") + record(0x400000, "efgh") + kEnd);
  EXPECT_EQ(overlap.current(), download_receiver::state::done);
  EXPECT_FALSE(overlap.acceptable());
  EXPECT_NE(overlap.reason().find("data bytes"), std::string::npos) << overlap.reason();
  flash_memory m;
  overlap.commit(m);
  EXPECT_EQ(m.size(), 0u);
}
