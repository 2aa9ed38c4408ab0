// Absolute images as operator tools and the target simulator see them: a
// sparse byte map of target memory, read from and written to absolute files.
//
// The file layout: a 28-byte header, then records of
//   lead word (2 bytes, non-zero), byte count N (2, high byte first, N <= 250),
//   address (4: low word first, each word high byte first), N data bytes,
//   one fill byte when N is odd.
// What counts as well formed is the updater's own record walk
// (formats/abs/abs_records.h): this reader accepts exactly the files the updater
// sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class flash_memory {
 public:
  // Addresses wrap modulo 2^32.
  void write(uint32_t address, const uint8_t *data, size_t size);
  // The byte at address, if one was written.
  bool read(uint32_t address, uint8_t *out) const;
  // Forgets every byte from start to end (inclusive).
  void erase(uint32_t start, uint32_t end);
  // Whether any byte from start to end (inclusive) holds data.
  bool any_in(uint32_t start, uint32_t end) const;
  // The contiguous runs of written bytes, in ascending address order.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> runs() const;
  size_t size() const;  // number of bytes written
  void clear();

 private:
  // Memory is kept in pages that exist only once written to, so that a
  // large image or a 4 GiB address space costs only what holds data.
  static constexpr unsigned page_bits = 12;
  static constexpr uint32_t page_size = uint32_t{1} << page_bits;
  struct page {
    uint8_t data[page_size];
    uint64_t valid[page_size / 64];  // one bit per byte that holds data
    uint32_t count;                  // bits set in valid
  };
  std::map<uint32_t, page> pages_;  // by page number (address >> page_bits)
  size_t size_ = 0;
};

struct abs_stats {
  size_t records = 0;
  uint32_t lowest = 0xFFFFFFFF;  // over the data bytes; records of 0 bytes
  uint32_t highest = 0;          // add nothing to the range
  size_t data_bytes = 0;
};

// Reads every record of an absolute file into mem.  false with *error set
// on a malformed or unreadable file.
bool read_abs_file(const std::string &path, flash_memory &mem, abs_stats *stats,
                   std::string *error);
// Writes mem as an absolute file: records of at most 250 bytes, ascending.
bool write_abs_file(const std::string &path, const flash_memory &mem, std::string *error);

// One record as it stands in the file.
struct abs_record {
  uint64_t offset;  // of its lead word in the file
  uint32_t address;
  const uint8_t *data;  // valid during the call only
  size_t count;
};
// Calls visit for each record in file order.  false with *error set on a
// malformed or unreadable file (records before the fault have been visited;
// the error names the file and the offset of the faulty record).
bool for_each_abs_record(const std::string &path,
                         const std::function<void(const abs_record &)> &visit, std::string *error);
