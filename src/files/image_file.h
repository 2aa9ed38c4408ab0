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

// The fingerprint of a byte stream: what tells the bytes sent from the bytes
// checked.  The bytes are folded in eight at a time, as little-endian words
// (the last one padded with zeros), each by a multiply and a shift that are
// both one-to-one, so two streams that differ in one word always differ in
// their fingerprints.  How the stream is split between calls does not
// matter.  A whole image goes through it twice in a run, once checked and
// once sent, so it runs at memory speed: a word at a time, on a local copy
// of the state that no byte of the stream can alias.
class stream_fingerprint {
 public:
  void add(const unsigned char *data, size_t size) {
    uint64_t value = value_, word = word_;
    unsigned held = static_cast<unsigned>(bytes_ % 8);
    bytes_ += size;
    // First the word that the last call left unfinished.
    for (; held != 0 && size > 0; --size, ++data) {
      word |= uint64_t{*data} << (8 * held);
      if (++held == 8) {
        value = fold(value, word);
        word = 0;
        held = 0;
      }
    }
    for (; size >= 8; size -= 8, data += 8) {
      value = fold(value, little_endian(data));
    }
    for (; size > 0; --size, ++data, ++held) {
      word |= uint64_t{*data} << (8 * held);
    }
    value_ = value;
    word_ = word;
  }
  uint64_t value() const { return bytes_ % 8 ? fold(value_, word_) : value_; }
  uint64_t bytes() const { return bytes_; }

 private:
  static uint64_t little_endian(const unsigned char *p) {
    return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24 |
           uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 | uint64_t{p[6]} << 48 |
           uint64_t{p[7]} << 56;
  }
  static uint64_t fold(uint64_t value, uint64_t word) {
    value = (value ^ word) * 0x9E3779B97F4A7C15ull;
    return value ^ (value >> 29);
  }

  uint64_t value_ = 0xCBF29CE484222325ull;
  uint64_t word_ = 0;  // the bytes of the unfinished word
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
