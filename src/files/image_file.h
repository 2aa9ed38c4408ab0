// An image file held from its check to its download.
//
// The file is opened and walked once when it is checked; the walk finds the
// address range and fingerprints the bytes that the download will send.
// The file stays open, and the download sends from that same open file,
// after asking whether it is still the file that was checked: a file
// rebuilt or replaced since then is refused, and so is one whose bytes no
// longer match what was checked, before its end of records goes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"

// One record's place: its offset in the file and the addresses it writes.
struct image_record_place {
  uint64_t offset;
  uint32_t first;
  uint32_t last;  // first + count - 1, modulo 2^32
};

// What one walk over an image finds.
struct image_scan {
  // Lowest and highest address of the records (0xFFFFFFFF and 0 with none).
  uint32_t lowest = 0xFFFFFFFF;
  uint32_t highest = 0;
  // The records that hold them, to name when the image leaves its ROM.
  image_record_place lowest_record{};
  image_record_place highest_record{};
  // The bytes the download sends before its end of records, and their
  // fingerprint.
  uint64_t stream_bytes = 0;
  uint64_t fingerprint = 0;
};

// The fingerprint of a byte stream (64-bit FNV-1a): what tells the bytes
// sent from the bytes checked.
class stream_fingerprint {
 public:
  void add(const unsigned char *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      value_ = (value_ ^ data[i]) * 0x100000001B3ull;
    }
    bytes_ += size;
  }
  uint64_t value() const { return value_; }
  uint64_t bytes() const { return bytes_; }

 private:
  uint64_t value_ = 0xCBF29CE484222325ull;
  uint64_t bytes_ = 0;
};

// Walks an open image from its start.  true when it is well formed; false
// with the fault in `why` (abs_records.h).
bool scan_image(FILE *file, image_scan *scan, char *why, size_t why_size);

class held_image {
 public:
  held_image() = default;
  held_image(const held_image &) = delete;
  held_image &operator=(const held_image &) = delete;

  // Opens and walks the file.  false when it does not open (`why` empty,
  // errno set) or is malformed (`why` says where).
  bool check(const char *path, char *why, size_t why_size);

  const char *path() const { return path_.c_str(); }
  const image_scan &scan() const { return scan_; }
  FILE *file() const { return file_.get(); }

  // Null while the open file is still as it was checked and, with
  // `by_name`, the path still names it; else what changed.
  const char *change(bool by_name) const;

 private:
  struct closer {
    void operator()(FILE *f) const { fclose(f); }
  };
  std::string path_;
  std::unique_ptr<FILE, closer> file_;
  plat_file_stamp stamp_{};
  image_scan scan_;
};
