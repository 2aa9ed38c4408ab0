#include "files/files.h"

#include <gtest/gtest.h>

#include "files/files_test_support.h"

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
  expect_range({}, 0xFFFFFFFF, 0);
  expect_range(header(), 0xFFFFFFFF, 0);
  expect_range(concat({header(), {0x00, 0x01}}), 0xFFFFFFFF, 0);  // 30 bytes
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
  expect_range(concat({header(), record(0x100, pattern(250)), record(0x200, pattern(1))}), 0x100, 0x200);
  EXPECT_EQ(scan_bytes(concat({header(), record(0x100, pattern(251))})).ok, 0);
  EXPECT_EQ(scan_bytes(concat({header(), record(0x100, pattern(2)), record(0x200, pattern(251))})).ok, 0);
}

TEST(RangeXTest, OddCountsStepOverTheFillByte) {
  // If the fill byte were not skipped, the second record's head would be
  // read one byte early and give a different range (or fail).
  expect_range(concat({header(), record(0x1001, pattern(3)), record(0x2000, pattern(5)), record(0x500, pattern(4))}),
               0x500, 0x2004);
  // The last odd record may stand with or without its fill byte.
  expect_range(concat({header(), record(0x10, pattern(2)), record(0x20, pattern(7), false)}), 0x10, 0x26);
  expect_range(concat({header(), record(0x10, pattern(2)), record(0x20, pattern(7), true)}), 0x10, 0x26);
}

TEST(RangeXTest, ZeroCountCountsAddressMinusOneAsHighest) {
  expect_range(concat({header(), record(0x4000, {})}), 0x4000, 0x3FFF);
  expect_range(concat({header(), record(0, {})}), 0, 0xFFFFFFFF);
  expect_range(concat({header(), record(0x4000, {}), record(0x100, pattern(16))}), 0x100, 0x3FFF);
}

TEST(RangeXTest, RecordsInAnyOrder) {
  expect_range(concat({header(), record(0x9000, pattern(16)), record(0x100, pattern(2)), record(0xFFFF0000, pattern(250)),
                       record(0x5000, pattern(8))}),
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

TEST(RangeXTest, ALoneLeadWordAfterTheLastRecordEndsTheRecords) {
  expect_range(concat({header(), record(0x100, pattern(8)), {0x00, 0x01}}), 0x100, 0x107);
}

TEST(RangeXTest, MissingFileFails) {
  uint32_t lowest = 1, highest = 1;
  EXPECT_EQ(range_x("/nonexistent/dir/image.X", &lowest, &highest), 0);
}

}  // namespace
