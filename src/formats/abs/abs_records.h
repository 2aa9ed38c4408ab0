// The record structure of an absolute file, as the target reads it.
//
// After the 28-byte header come records: lead word (2 bytes), byte count N
// (2, high byte first, at most 250), address (4, low word first, each word
// high byte first), N data bytes, and one fill byte after an odd count.  The
// target reads the stream record by record and stops at a zero lead word.
//
// This walk is the one definition of a well-formed image: the scan, the
// download and the operator's image tool all step through files with it.
// A file is accepted only when the target would read exactly the records
// the walk reads:
//  - the records end at the end of the file, or at a zero lead word that is
//    the file's last two bytes (the file carries its own end of records);
//  - a zero lead word with anything behind it is refused: the target would
//    stop there and take the rest for command lines;
//  - bytes after the last record that are no whole record are refused: the
//    target would wait for the rest of that record;
//  - a count above 250, data cut off by the end of the file, and a record
//    whose data runs past address FFFFFFFF are refused;
//  - the last record may lack its fill byte; the walk says so, and the
//    download sends one.
// The file is read through one fixed buffer, whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "bounds.h"

struct abs_record_view {
  uint64_t offset;  // of the record's lead word in the file
  uint32_t address;
  unsigned count;              // data bytes
  const unsigned char *bytes;  // the record from its lead word; valid until the next step
  size_t size;                 // its bytes in the file: 8 + count, and the fill byte if present
  bool fill_missing;           // the file's last record: odd count, no fill byte
};

class abs_walk {
 public:
  // The file is positioned at its start and opened without translation.
  explicit abs_walk(FILE *file) : file_(file) {}
  abs_walk(const abs_walk &) = delete;
  abs_walk &operator=(const abs_walk &) = delete;

  // Steps over the 28-byte header; next() does so itself when not done.
  // false (with the reason set) when the file is shorter or unreadable.
  bool header();
  // 1 with the next record in *record; 0 when the records ended well; -1
  // when the file is malformed or unreadable, with reason() saying why.
  int next(abs_record_view *record);
  // "record at offset 1234 has ...": why the walk failed.
  const char *reason() const { return reason_; }

 private:
  size_t available(size_t wanted);
  int fault(const char *format, ...)
#if defined(__MINGW32__)
      __attribute__((format(gnu_printf, 2, 3)))  // the runtime's C99 printf, not the system's
#elif defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  FILE *file_;
  size_t pos_ = 0;       // next unread byte of buffer_
  size_t end_ = 0;       // end of the bytes in buffer_
  uint64_t offset_ = 0;  // file offset of buffer_[pos_]
  bool at_eof_ = false;
  bool started_ = false;
  bool ended_ = false;
  char reason_[ABS_WALK_REASON_SIZE] = {};
  unsigned char buffer_[ABS_WALK_BUFFER_SIZE];
};
