#include "formats/image/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using bytes = std::vector<uint8_t>;

bytes pattern(size_t n, uint8_t seed = 3) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) {
    b[i] = uint8_t(seed + i * 13);
  }
  return b;
}

class ImageTest : public ::testing::Test {
 protected:
  std::string temp(const std::string &name) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("image_test_" + std::to_string(getpid()) + "_" + name))
                           .string();
    made_.push_back(path);
    return path;
  }
  std::string file_with(const std::string &name, const bytes &content) {
    std::string path = temp(name);
    FILE *f = fopen(path.c_str(), "wb");
    if (!content.empty()) {
      fwrite(content.data(), 1, content.size(), f);
    }
    fclose(f);
    return path;
  }
  bytes contents(const std::string &path) {
    bytes out;
    FILE *f = fopen(path.c_str(), "rb");
    int c;
    while (f && (c = fgetc(f)) != EOF) {
      out.push_back(uint8_t(c));
    }
    if (f) {
      fclose(f);
    }
    return out;
  }
  void TearDown() override {
    for (const std::string &p : made_) {
      std::filesystem::remove(p);
    }
  }

  std::vector<std::string> made_;
};

bytes head(uint16_t lead, unsigned count, uint32_t address) {
  return {uint8_t(lead >> 8),    uint8_t(lead),    uint8_t(count >> 8),    uint8_t(count),
          uint8_t(address >> 8), uint8_t(address), uint8_t(address >> 24), uint8_t(address >> 16)};
}

bytes record(uint32_t address, const bytes &data, bool fill = true) {
  bytes r = head(1, unsigned(data.size()), address);
  r.insert(r.end(), data.begin(), data.end());
  if (fill && (data.size() & 1)) {
    r.push_back(0);
  }
  return r;
}

bytes file_of(std::initializer_list<bytes> records) {
  bytes out(28, 0);
  for (const bytes &r : records) {
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

TEST_F(ImageTest, MemoryWriteReadEraseAcrossPages) {
  flash_memory mem;
  bytes data = pattern(10000);
  mem.write(0x0FFF0, data.data(), data.size());  // spans three page edges
  EXPECT_EQ(mem.size(), 10000u);
  uint8_t b = 0;
  ASSERT_TRUE(mem.read(0x0FFF0 + 5000, &b));
  EXPECT_EQ(b, data[5000]);
  EXPECT_FALSE(mem.read(0x0FFEF, &b));
  EXPECT_FALSE(mem.read(0x0FFF0 + 10000, &b));

  // Rewriting a byte does not count it twice.
  mem.write(0x0FFF0, data.data(), 16);
  EXPECT_EQ(mem.size(), 10000u);

  mem.erase(0x10000, 0x10FFF);
  EXPECT_EQ(mem.size(), 10000u - 4096);
  EXPECT_FALSE(mem.any_in(0x10000, 0x10FFF));
  EXPECT_TRUE(mem.any_in(0x10000, 0x11000));
  EXPECT_TRUE(mem.any_in(0x0, 0x0FFF0));
  EXPECT_FALSE(mem.any_in(0x0, 0x0FFEF));
  EXPECT_FALSE(mem.any_in(0x11000, 0x10000));  // empty range

  auto runs = mem.runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].first, 0x0FFF0u);
  EXPECT_EQ(runs[0].second, bytes(data.begin(), data.begin() + 16));
  EXPECT_EQ(runs[1].first, 0x11000u);
  EXPECT_EQ(runs[1].second, bytes(data.begin() + 16 + 4096, data.end()));

  mem.erase(0, 0xFFFFFFFF);
  EXPECT_EQ(mem.size(), 0u);
  EXPECT_TRUE(mem.runs().empty());
}

TEST_F(ImageTest, MemoryEdgesOfTheAddressSpace) {
  flash_memory mem;
  bytes data = pattern(4);
  mem.write(0xFFFFFFFE, data.data(), 2);
  mem.write(0, data.data() + 2, 2);
  EXPECT_TRUE(mem.any_in(0xFFFFFFFF, 0xFFFFFFFF));
  EXPECT_TRUE(mem.any_in(0, 0));
  // Top and bottom of the address space are not one run.
  auto runs = mem.runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].first, 0u);
  EXPECT_EQ(runs[1].first, 0xFFFFFFFEu);
  mem.erase(0xFFFFFFFF, 0xFFFFFFFF);
  EXPECT_EQ(mem.size(), 3u);
  mem.clear();
  EXPECT_EQ(mem.size(), 0u);
  EXPECT_FALSE(mem.any_in(0, 0xFFFFFFFF));
}

TEST_F(ImageTest, WriteThenReadRoundTrip) {
  flash_memory mem;
  bytes a = pattern(1001, 1), b = pattern(250, 2), c = pattern(1, 3);
  mem.write(0x280000, a.data(), a.size());
  mem.write(0x10040000, b.data(), b.size());
  mem.write(0xFFFFFFFF, c.data(), c.size());
  std::string path = temp("round.X");
  std::string error;
  ASSERT_TRUE(write_abs_file(path, mem, &error)) << error;

  // The records: ascending, at most 250 bytes, lead word 1, fill after odd.
  std::vector<std::pair<uint32_t, size_t>> records;
  ASSERT_TRUE(for_each_abs_record(
      path, [&](const abs_record &r) { records.emplace_back(r.address, r.count); }, &error));
  std::vector<std::pair<uint32_t, size_t>> expected = {
      {0x280000, 250}, {0x2800FA, 250},   {0x2801F4, 250}, {0x2802EE, 250},
      {0x2803E8, 1},   {0x10040000, 250}, {0xFFFFFFFF, 1}};
  EXPECT_EQ(records, expected);
  bytes raw = contents(path);
  EXPECT_EQ(raw.size(), 28u + 7 * 8 + 1001 + 250 + 1 + 2);
  EXPECT_EQ(raw[28], 0x00);
  EXPECT_EQ(raw[29], 0x01);
  EXPECT_EQ(bytes(raw.begin() + 30, raw.begin() + 36), bytes({0x00, 0xFA, 0x00, 0x00, 0x00, 0x28}));

  flash_memory back;
  abs_stats stats;
  ASSERT_TRUE(read_abs_file(path, back, &stats, &error)) << error;
  EXPECT_EQ(back.runs(), mem.runs());
  EXPECT_EQ(stats.records, 7u);
  EXPECT_EQ(stats.data_bytes, 1252u);
  EXPECT_EQ(stats.lowest, 0x280000u);
  EXPECT_EQ(stats.highest, 0xFFFFFFFFu);
}

TEST_F(ImageTest, ReaderAcceptsOddCountsZeroCountsAndAMissingLastFill) {
  std::string path = file_with("odd.X", file_of({record(0x100, pattern(3)), record(0x50, {}),
                                                 record(0x200, pattern(5), false)}));
  flash_memory mem;
  abs_stats stats;
  std::string error;
  ASSERT_TRUE(read_abs_file(path, mem, &stats, &error)) << error;
  EXPECT_EQ(stats.records, 3u);
  EXPECT_EQ(stats.data_bytes, 8u);
  EXPECT_EQ(stats.lowest, 0x100u);
  EXPECT_EQ(stats.highest, 0x204u);
  uint8_t b;
  ASSERT_TRUE(mem.read(0x202, &b));
  EXPECT_EQ(b, pattern(5)[2]);
}

TEST_F(ImageTest, ReaderRejectsMalformedFiles) {
  struct bad_case {
    const char *name;
    bytes content;
    const char *message;
  };
  bytes whole = file_of({record(0x100, pattern(10)), record(0x200, pattern(20))});
  bytes cut_head(whole.begin(), whole.end() - 20 - 3);
  bytes cut_data(whole.begin(), whole.end() - 1);
  bytes big = file_of({head(1, 251, 0x100)});
  big.resize(big.size() + 251);
  std::vector<bad_case> cases = {
      {"short.X", bytes(27, 0), "shorter than the 28-byte header"},
      {"cut_head.X", cut_head, "cut off inside its 8-byte head"},
      {"cut_data.X", cut_data, "cut off inside its data"},
      {"big.X", big, "byte count of 251"},
      {"lead.X", file_of({record(0x100, pattern(2)), head(0, 2, 0x300), {1, 2}}), "zero lead word"},
      {"wrap.X", file_of({record(0xFFFFFFF0, pattern(32))}), "runs past address FFFFFFFF"},
  };
  for (const bad_case &c : cases) {
    std::string path = file_with(c.name, c.content);
    flash_memory mem;
    std::string error;
    EXPECT_FALSE(read_abs_file(path, mem, nullptr, &error)) << c.name;
    EXPECT_NE(error.find(path + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
  }
  std::string error;
  flash_memory mem;
  EXPECT_FALSE(read_abs_file(temp("absent.X"), mem, nullptr, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST_F(ImageTest, LargeSparseImageCostsOnlyWhatIsWritten) {
  flash_memory mem;
  bytes data = pattern(1 << 18);
  for (uint32_t i = 0; i < 64; i++) {
    mem.write(i << 26, data.data(), data.size());
  }
  EXPECT_EQ(mem.size(), 64u << 18);
  EXPECT_EQ(mem.runs().size(), 64u);
  mem.erase(0, 0xFFFFFFFF);
  EXPECT_EQ(mem.size(), 0u);
}

}  // namespace
