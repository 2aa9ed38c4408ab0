#include "files/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bounds.h"
#include "files/files_test_support.h"
#include "files/image_file.h"

namespace {

using namespace test_files;

struct scan {
  int ok;
  uint32_t lowest;
  uint32_t highest;
};

scan scan_bytes(const bytes &content) {
  temp_file file(content);
  scan s{};
  s.ok = range_x(file.path(), &s.lowest, &s.highest);
  return s;
}

void expect_range(const bytes &content, uint32_t lowest, uint32_t highest) {
  scan s = scan_bytes(content);
  EXPECT_EQ(s.ok, 1);
  EXPECT_EQ(s.lowest, lowest);
  EXPECT_EQ(s.highest, highest);
}

TEST(RangeXTest, FilesWithoutRecordsGiveTheEmptyRange) {
  expect_range(header(), 0xFFFFFFFF, 0);
  // A file may end in a zero lead word of its own: it ends the records
  // exactly where the scan stops.
  expect_range(concat({header(), {0x00, 0x00}}), 0xFFFFFFFF, 0);
  expect_range(concat({header(), record(0x100, pattern(8)), {0x00, 0x00}}), 0x100, 0x107);
}

// Files the target would read differently from the scan are refused, with
// the offset of the record where the two would part.
TEST(RangeXTest, RefusesWhatTheTargetWouldReadDifferently) {
  struct bad_case {
    const char *name;
    bytes content;
    const char *reason;  // the start of the reason
  };
  const bytes two = record(0x100, pattern(8));  // 16 bytes, at offset 28
  const bad_case cases[] = {
      {"empty file", {}, "shorter than the 28-byte header (0 bytes)"},
      {"short header", bytes(27, 0xEE), "shorter than the 28-byte header (27 bytes)"},
      {"lone lead word", concat({header(), {0x00, 0x01}}),
       "record at offset 28 is cut off inside its 8-byte head"},
      {"lone lead word after a record", concat({header(), two, {0x00, 0x01}}),
       "record at offset 44 is cut off"},
      {"one stray byte", concat({header(), two, {0x7F}}), "record at offset 44 is cut off"},
      {"zero lead word before records", concat({header(), two, {0x00, 0x00}, two}),
       "record at offset 44 has a zero lead word"},
      {"zero lead word before one byte", concat({header(), {0x00, 0x00, 0x01}}),
       "record at offset 28 has a zero lead word"},
      {"records past FFFFFFFF", concat({header(), two, record(0xFFFFFFF0, pattern(17))}),
       "record at offset 44 at FFFFFFF0 runs past address FFFFFFFF"},
  };
  for (const bad_case &c : cases) {
    temp_file file(c.content);
    uint32_t lowest, highest;
    char why[ABS_WALK_REASON_SIZE];
    EXPECT_EQ(range_x(file.path(), &lowest, &highest, why, sizeof why), 0) << c.name;
    EXPECT_EQ(std::string(why).rfind(c.reason, 0), 0u) << c.name << ": " << why;
  }
  // Up to the last address is fine.
  expect_range(concat({header(), record(0xFFFFFFF0, pattern(16))}), 0xFFFFFFF0, 0xFFFFFFFF);
}

TEST(RangeXTest, MalformedFileIsNamedOnStandardError) {
  temp_file file(concat({header(), {0x00, 0x00}, record(0x100, pattern(2))}));
  uint32_t lowest, highest;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(range_x(file.path(), &lowest, &highest), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            std::string(file.path()) +
                ": record at offset 28 has a zero lead word, which ends the records, and "
                "more bytes follow it\n");
}

TEST(RangeXTest, HeadCutOffFails) {
  for (size_t size = 31; size <= 35; size++) {
    bytes content = concat({header(), record(0x1000, pattern(4))});
    content.resize(size);
    EXPECT_EQ(scan_bytes(content).ok, 0) << size << " bytes";
  }
}

TEST(RangeXTest, AddressIsLowWordFirst) {
  // 250 bytes at 0x280000 begin 00 FA 00 00 00 28 behind the lead word.
  bytes content = concat({header(), record(0x280000, pattern(250))});
  EXPECT_EQ(content[30], 0x00);
  EXPECT_EQ(content[31], 0xFA);
  EXPECT_EQ(content[34], 0x00);
  EXPECT_EQ(content[35], 0x28);
  expect_range(content, 0x280000, 0x280000 + 249);
  expect_range(concat({header(), record(0x12345678, pattern(2))}), 0x12345678, 0x12345679);
}

TEST(RangeXTest, CountLimitIs250) {
  expect_range(concat({header(), record(0x100, pattern(250)), record(0x200, pattern(1))}), 0x100,
               0x200);
  EXPECT_EQ(scan_bytes(concat({header(), record(0x100, pattern(251))})).ok, 0);
  EXPECT_EQ(
      scan_bytes(concat({header(), record(0x100, pattern(2)), record(0x200, pattern(251))})).ok, 0);
}

TEST(RangeXTest, OddCountsStepOverTheFillByte) {
  // If the fill byte were not skipped, the second record's head would be
  // read one byte early and give a different range (or fail).
  expect_range(concat({header(), record(0x1001, pattern(3)), record(0x2000, pattern(5)),
                       record(0x500, pattern(4))}),
               0x500, 0x2004);
  // The last odd record may stand with or without its fill byte.
  expect_range(concat({header(), record(0x10, pattern(2)), record(0x20, pattern(7), false)}), 0x10,
               0x26);
  expect_range(concat({header(), record(0x10, pattern(2)), record(0x20, pattern(7), true)}), 0x10,
               0x26);
}

TEST(RangeXTest, ZeroCountCountsAddressMinusOneAsHighest) {
  expect_range(concat({header(), record(0x4000, {})}), 0x4000, 0x3FFF);
  expect_range(concat({header(), record(0, {})}), 0, 0xFFFFFFFF);
  expect_range(concat({header(), record(0x4000, {}), record(0x100, pattern(16))}), 0x100, 0x3FFF);
}

TEST(RangeXTest, RecordsInAnyOrder) {
  expect_range(concat({header(), record(0x9000, pattern(16)), record(0x100, pattern(2)),
                       record(0xFFFF0000, pattern(250)), record(0x5000, pattern(8))}),
               0x100, 0xFFFF0000 + 249);
}

TEST(RangeXTest, RecordCutOffInsideItsDataFails) {
  bytes whole = concat({header(), record(0x100, pattern(8)), record(0x200, pattern(100))});
  for (size_t cut : {1, 50, 99}) {
    bytes content(whole.begin(), whole.end() - static_cast<long>(cut));
    EXPECT_EQ(scan_bytes(content).ok, 0) << cut << " bytes missing";
  }
  EXPECT_EQ(scan_bytes(concat({header(), record_head(0x100, 250)})).ok, 0);
}

// Records in files far larger than the walk's buffer: every record is
// counted, wherever the buffer boundaries fall.
TEST(RangeXTest, RecordsAcrossManyBufferFills) {
  bytes content = header();
  for (uint32_t i = 0; i < 3000; i++) {
    bool last = i == 2999;
    bytes one = record(0x10000 + i * 0x100, pattern(last ? 7 : 1 + i % 250, uint8_t(i)), !last);
    content.insert(content.end(), one.begin(), one.end());
  }
  expect_range(content, 0x10000, 0x10000 + 2999 * 0x100 + 6);
  content.push_back(0x01);  // the last record now has its fill byte
  expect_range(content, 0x10000, 0x10000 + 2999 * 0x100 + 6);
  content.push_back(0x01);  // and one stray byte behind it
  EXPECT_EQ(scan_bytes(content).ok, 0);
}

TEST(RangeXTest, MissingFileFails) {
  uint32_t lowest = 1, highest = 1;
  EXPECT_EQ(range_x("/nonexistent/dir/image.X", &lowest, &highest), 0);
}

// The download refuses an image whose bytes are not the ones checked, and
// the fingerprint is all it compares them by: a changed byte must show
// wherever it lies, the unfinished last word included, and however the
// records split the stream.
TEST(ImageFingerprint, AnyChangedByteShowsWhereverTheStreamIsSplit) {
  unsigned char stream[37];
  for (size_t i = 0; i < sizeof stream; ++i) {
    stream[i] = static_cast<unsigned char>(i * 37 + 11);
  }
  auto fingerprint = [&](size_t split_every) {
    stream_fingerprint f;
    for (size_t at = 0; at < sizeof stream; at += split_every) {
      f.add(stream + at, std::min(split_every, sizeof stream - at));
    }
    EXPECT_EQ(f.bytes(), sizeof stream);
    return f.value();
  };
  const uint64_t whole = fingerprint(sizeof stream);
  for (size_t split : {1, 3, 8, 13}) {
    EXPECT_EQ(fingerprint(split), whole) << "split every " << split;
  }
  for (size_t i = 0; i < sizeof stream; ++i) {
    stream[i] ^= 0x40;
    EXPECT_NE(fingerprint(5), whole) << "byte " << i;
    stream[i] ^= 0x40;
  }
}

}  // namespace
