// Crafted absolute files for the tests of this directory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace test_files {

using bytes = std::vector<uint8_t>;

// The 28-byte header; its content is never looked at.
inline bytes header() { return bytes(28, 0xEE); }

// One record: lead word, count, address (low word first), data, and the
// fill byte after an odd count unless told otherwise.
inline bytes record(uint32_t address, const bytes &data, bool fill = true, uint16_t lead = 0x0001) {
  size_t n = data.size();
  bytes r(8 + n + (fill && (n & 1) ? 1 : 0), 0xA5);
  const uint8_t head[8] = {
      uint8_t(lead >> 8),    uint8_t(lead),    uint8_t(n >> 8),        uint8_t(n),
      uint8_t(address >> 8), uint8_t(address), uint8_t(address >> 24), uint8_t(address >> 16)};
  std::copy(head, head + 8, r.begin());
  // No data, no copy: a copy of nothing to the end of the record is what the
  // compiler's bounds check cannot tell from an overrun.
  if (n > 0) {
    std::copy(data.begin(), data.end(), r.begin() + 8);
  }
  return r;
}

// A record head that claims count bytes without carrying them.
inline bytes record_head(uint32_t address, unsigned count) {
  return {0x00,
          0x01,
          uint8_t(count >> 8),
          uint8_t(count),
          uint8_t(address >> 8),
          uint8_t(address),
          uint8_t(address >> 24),
          uint8_t(address >> 16)};
}

inline bytes pattern(size_t n, uint8_t seed = 1) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) {
    b[i] = uint8_t(seed + i * 7);
  }
  return b;
}

inline bytes concat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A file in the temporary directory, removed when the object goes.
class temp_file {
 public:
  explicit temp_file(const bytes &content) {
    static int serial;
    path_ = (std::filesystem::temp_directory_path() /
             ("files_test_" + std::to_string(getpid_portable()) + "_" + std::to_string(serial++) +
              ".X"))
                .string();
    FILE *f = fopen(path_.c_str(), "wb");
    if (f) {
      if (!content.empty()) {
        fwrite(content.data(), 1, content.size(), f);
      }
      fclose(f);
    }
  }
  ~temp_file() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  temp_file(const temp_file &) = delete;
  temp_file &operator=(const temp_file &) = delete;
  const char *path() const { return path_.c_str(); }

 private:
  static long getpid_portable();
  std::string path_;
};

}  // namespace test_files

#ifdef _WIN32
#include <process.h>
inline long test_files::temp_file::getpid_portable() { return _getpid(); }
#else
#include <unistd.h>
inline long test_files::temp_file::getpid_portable() { return getpid(); }
#endif
