// The receiving end of a download: the record stream that follows the
// target's go-ahead byte, parsed as it arrives in pieces of any size.
//
// Each record: lead word (2 bytes; 0x0000 ends the stream), byte count
// (2 bytes, high byte first, at most 250), address (4 bytes, low word first,
// each word high byte first), the data, and one fill byte after an odd count.
//
// Nothing reaches memory here: the records are held until the caller has
// judged the whole download and decided to commit it, so that a stream that
// breaks off leaves the flash as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/image/image.h"

inline constexpr unsigned SIM_MAX_RECORD = 250;
// More data than this in one download is refused without being held.
inline constexpr size_t SIM_MAX_DOWNLOAD = 64u << 20;

class download_receiver {
 public:
  enum class state {
    receiving,  // inside the stream
    done,       // the terminating lead word arrived
    malformed,  // a record broke the format; the rest is swallowed
  };

  explicit download_receiver(uint32_t announced_count);

  // Consumes bytes of the stream and returns how many it took.  It stops
  // right after the terminating lead word; once malformed it takes all.
  size_t feed(const uint8_t *data, size_t size);

  state current() const { return state_; }
  // Whether a finished stream is acceptable: well formed, its addresses span
  // at most the announced count, and it carried at most that many bytes.
  // A stream that has not finished is not acceptable.
  bool acceptable() const;
  // Why it is not acceptable (empty when it is).
  std::string reason() const;

  size_t stream_bytes() const { return stream_bytes_; }
  size_t record_count() const { return records_; }
  uint64_t data_bytes() const { return data_bytes_; }
  // Puts the held records into memory, in stream order.
  void commit(flash_memory &memory) const;

 private:
  enum class phase { lead, header, data, fill };
  struct held_record {
    uint32_t address;
    size_t offset;  // into data_
    size_t size;
  };

  void start_record();
  void fail(std::string why);

  uint32_t announced_;
  state state_ = state::receiving;
  phase phase_ = phase::lead;
  uint8_t header_[8] = {};
  size_t header_fill_ = 0;  // bytes of header_ received for this record
  uint32_t address_ = 0;
  unsigned count_ = 0;
  unsigned data_left_ = 0;

  size_t stream_bytes_ = 0;
  size_t records_ = 0;
  uint64_t data_bytes_ = 0;
  uint64_t lowest_ = UINT64_MAX;
  uint64_t highest_end_ = 0;  // one past the highest address, 0 while none
  bool holding_ = true;       // false once the data can only be refused
  std::string why_;
  std::vector<held_record> held_;
  std::string data_;
};
