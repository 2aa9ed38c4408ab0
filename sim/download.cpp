#include "download.h"

#include <cstdio>

download_receiver::download_receiver(uint32_t announced_count) : announced_(announced_count) {}

void download_receiver::fail(std::string why) {
  state_ = state::malformed;
  why_ = std::move(why);
  held_.clear();
  data_.clear();
}

// The header of a record is complete: check it and get ready for its data.
void download_receiver::start_record() {
  count_ = static_cast<unsigned>(header_[2]) << 8 | header_[3];
  address_ = static_cast<uint32_t>(header_[6]) << 24 | static_cast<uint32_t>(header_[7]) << 16 |
             static_cast<uint32_t>(header_[4]) << 8 | header_[5];
  if (count_ > SIM_MAX_RECORD) {
    char text[80];
    snprintf(text, sizeof text, "record %zu has a byte count of %u (at most %u)", records_ + 1,
             count_, SIM_MAX_RECORD);
    fail(text);
    return;
  }
  if (static_cast<uint64_t>(address_) + count_ > 0x100000000ull) {
    char text[80];
    snprintf(text, sizeof text, "record %zu at 0%lX runs past the end of memory", records_ + 1,
             static_cast<unsigned long>(address_));
    fail(text);
    return;
  }
  ++records_;
  data_bytes_ += count_;
  if (address_ < lowest_) {
    lowest_ = address_;
  }
  uint64_t end = static_cast<uint64_t>(address_) + count_;
  if (end > highest_end_) {
    highest_end_ = end;
  }
  if (data_bytes_ > announced_ || data_bytes_ > SIM_MAX_DOWNLOAD) {
    // Refused in any case: stop holding data, keep following the format.
    holding_ = false;
    held_.clear();
    data_.clear();
  }
  if (holding_ && count_ > 0) {  // an empty record writes nothing
    held_.push_back({address_, data_.size(), count_});
  }
  data_left_ = count_;
  phase_ = count_ > 0 ? phase::data : phase::lead;
}

size_t download_receiver::feed(const uint8_t *data, size_t size) {
  size_t used = 0;
  while (used < size) {
    if (state_ == state::done) {
      break;
    }
    if (state_ == state::malformed) {
      used = size;
      break;
    }
    switch (phase_) {
      case phase::lead:
      case phase::header: {
        header_[header_fill_++] = data[used++];
        if (header_fill_ == 2 && header_[0] == 0 && header_[1] == 0) {
          header_fill_ = 0;
          state_ = state::done;
        } else if (header_fill_ == 8) {
          header_fill_ = 0;
          start_record();
        } else {
          phase_ = phase::header;
        }
        break;
      }
      case phase::data: {
        size_t take = std::min<size_t>(data_left_, size - used);
        if (holding_) {
          data_.append(reinterpret_cast<const char *>(data + used), take);
        }
        used += take;
        data_left_ -= static_cast<unsigned>(take);
        if (data_left_ == 0) {
          phase_ = (count_ & 1) ? phase::fill : phase::lead;
        }
        break;
      }
      case phase::fill:
        ++used;
        phase_ = phase::lead;
        break;
    }
  }
  stream_bytes_ += used;
  return used;
}

bool download_receiver::acceptable() const { return state_ == state::done && reason().empty(); }

std::string download_receiver::reason() const {
  if (state_ == state::malformed) {
    return why_;
  }
  if (state_ == state::receiving) {
    return "the record stream ended inside a record";
  }
  char text[120];
  if (data_bytes_ > SIM_MAX_DOWNLOAD) {
    snprintf(text, sizeof text, "more than %zu data bytes", SIM_MAX_DOWNLOAD);
    return text;
  }
  uint64_t span = highest_end_ > lowest_ ? highest_end_ - lowest_ : 0;
  if (span > announced_) {
    snprintf(text, sizeof text, "the records span 0%llX bytes, more than the announced 0%lX",
             static_cast<unsigned long long>(span), static_cast<unsigned long>(announced_));
    return text;
  }
  if (data_bytes_ > announced_) {
    snprintf(text, sizeof text, "0%llX data bytes, more than the announced 0%lX",
             static_cast<unsigned long long>(data_bytes_), static_cast<unsigned long>(announced_));
    return text;
  }
  return {};
}

void download_receiver::commit(flash_memory &memory) const {
  if (!acceptable()) {
    return;
  }
  for (const held_record &r : held_) {
    memory.write(r.address, reinterpret_cast<const uint8_t *>(data_.data()) + r.offset, r.size);
  }
}
