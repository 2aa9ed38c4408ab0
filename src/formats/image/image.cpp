// Sparse target memory and the absolute-file reader and writer.
#include "formats/image/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "formats/abs/abs_records.h"

namespace {

constexpr size_t header_size = 28;
constexpr size_t max_record = 250;
constexpr size_t head_size = 8;  // lead word, count, address

struct closer {
  FILE *f;
  ~closer() {
    if (f) {
      fclose(f);
    }
  }
};

}  // namespace

// ---- flash_memory -----------------------------------------------------------

namespace {

// The bits of valid[] that stand for bytes first..last of a page, one 64-bit
// word at a time: calls f(word index, mask).
template <typename F>
void for_each_mask(uint32_t first, uint32_t last, F f) {
  while (first <= last) {
    uint32_t word = first >> 6;
    uint32_t low = first & 63;
    uint32_t high = std::min<uint32_t>(63, last - (word << 6));
    uint64_t mask =
        (high == 63 ? ~uint64_t{0} : ((uint64_t{1} << (high + 1)) - 1)) & (~uint64_t{0} << low);
    f(word, mask);
    first = (word << 6) + high + 1;
  }
}

}  // namespace

void flash_memory::write(uint32_t address, const uint8_t *data, size_t size) {
  while (size > 0) {
    uint32_t offset = address & (page_size - 1);
    size_t n = std::min<size_t>(size, page_size - offset);
    auto [it, created] = pages_.try_emplace(address >> page_bits);
    page &p = it->second;
    if (created) {
      memset(p.valid, 0, sizeof p.valid);
      p.count = 0;
    }
    memcpy(p.data + offset, data, n);
    for_each_mask(offset, offset + static_cast<uint32_t>(n) - 1, [&](uint32_t word, uint64_t mask) {
      unsigned added = static_cast<unsigned>(__builtin_popcountll(mask & ~p.valid[word]));
      p.valid[word] |= mask;
      p.count += added;
      size_ += added;
    });
    address += static_cast<uint32_t>(n);  // wraps past 0xFFFFFFFF
    data += n;
    size -= n;
  }
}

bool flash_memory::read(uint32_t address, uint8_t *out) const {
  auto it = pages_.find(address >> page_bits);
  if (it == pages_.end()) {
    return false;
  }
  uint32_t i = address & (page_size - 1);
  if (!(it->second.valid[i >> 6] & (uint64_t{1} << (i & 63)))) {
    return false;
  }
  *out = it->second.data[i];
  return true;
}

void flash_memory::erase(uint32_t start, uint32_t end) {
  if (start > end) {
    return;
  }
  // Only the pages that exist are visited, however wide the range.
  for (auto it = pages_.lower_bound(start >> page_bits);
       it != pages_.end() && it->first <= (end >> page_bits);) {
    page &p = it->second;
    uint32_t base = it->first << page_bits;
    uint32_t first = std::max(start, base) - base;
    uint32_t last = std::min(end, base + (page_size - 1)) - base;
    for_each_mask(first, last, [&](uint32_t word, uint64_t mask) {
      unsigned removed = static_cast<unsigned>(__builtin_popcountll(mask & p.valid[word]));
      p.valid[word] &= ~mask;
      p.count -= removed;
      size_ -= removed;
    });
    it = p.count == 0 ? pages_.erase(it) : std::next(it);
  }
}

bool flash_memory::any_in(uint32_t start, uint32_t end) const {
  if (start > end) {
    return false;
  }
  for (auto it = pages_.lower_bound(start >> page_bits);
       it != pages_.end() && it->first <= (end >> page_bits); ++it) {
    const page &p = it->second;
    uint32_t base = it->first << page_bits;
    uint32_t first = std::max(start, base) - base;
    uint32_t last = std::min(end, base + (page_size - 1)) - base;
    bool found = false;
    for_each_mask(first, last,
                  [&](uint32_t word, uint64_t mask) { found = found || (p.valid[word] & mask); });
    if (found) {
      return true;
    }
  }
  return false;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> flash_memory::runs() const {
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  bool open = false;
  uint32_t next = 0;  // address that would extend the open run
  for (const auto &[number, p] : pages_) {
    uint32_t base = number << page_bits;
    for (uint32_t word = 0; word < page_size / 64; word++) {
      uint64_t bits = p.valid[word];
      uint32_t i = word << 6;
      if (bits == ~uint64_t{0} && open && base + i == next) {
        // The common case: a whole word of bytes continues the run.
        out.back().second.insert(out.back().second.end(), p.data + i, p.data + i + 64);
        next = base + i + 64;
        continue;
      }
      for (uint32_t k = 0; k < 64; k++, i++) {
        if (!(bits & (uint64_t{1} << k))) {
          open = false;
          continue;
        }
        uint32_t address = base + i;
        // A run never wraps from 0xFFFFFFFF to 0: page 0 comes first.
        if (!open || address != next) {
          out.emplace_back(address, std::vector<uint8_t>());
          open = true;
        }
        out.back().second.push_back(p.data[i]);
        next = address + 1;
      }
    }
  }
  return out;
}

size_t flash_memory::size() const { return size_; }

void flash_memory::clear() {
  pages_.clear();
  size_ = 0;
}

// ---- Reading ----------------------------------------------------------------

bool for_each_abs_record(const std::string &path,
                         const std::function<void(const abs_record &)> &visit, std::string *error) {
  closer file{fopen(path.c_str(), "rb")};
  if (!file.f) {
    if (error) {
      *error = path + ": " + strerror(errno);
    }
    return false;
  }
  // The same walk as the updater's scan and download: what this tool
  // accepts, the updater sends as it stands.
  abs_walk walk(file.f);
  abs_record_view r;
  int step;
  while ((step = walk.next(&r)) > 0) {
    visit(abs_record{r.offset, r.address, r.bytes + head_size, r.count});
  }
  if (step < 0) {
    if (error) {
      *error = path + ": " + walk.reason();
    }
    return false;
  }
  return true;
}

bool read_abs_file(const std::string &path, flash_memory &mem, abs_stats *stats,
                   std::string *error) {
  abs_stats s;
  bool ok = for_each_abs_record(
      path,
      [&](const abs_record &r) {
        s.records++;
        if (r.count == 0) {
          return;
        }
        mem.write(r.address, r.data, r.count);
        s.data_bytes += r.count;
        s.lowest = std::min(s.lowest, r.address);
        s.highest = std::max(s.highest, static_cast<uint32_t>(r.address + (r.count - 1)));
      },
      error);
  if (stats) {
    *stats = s;
  }
  return ok;
}

// ---- Writing ----------------------------------------------------------------

bool write_abs_file(const std::string &path, const flash_memory &mem, std::string *error) {
  auto fail = [&](const std::string &text) {
    if (error) {
      *error = path + ": " + text;
    }
    return false;
  };
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    return fail(strerror(errno));
  }

  // The header is not interpreted by readers; it names the file's origin.
  uint8_t header[header_size] = {};
  static const char origin[] = "romupdate-abs image";
  memcpy(header, origin, sizeof origin - 1);
  bool ok = fwrite(header, 1, sizeof header, f) == sizeof header;

  for (const auto &[start, bytes] : mem.runs()) {
    for (size_t done = 0; ok && done < bytes.size(); done += max_record) {
      size_t n = std::min(max_record, bytes.size() - done);
      uint32_t address = start + static_cast<uint32_t>(done);
      uint8_t head[head_size] = {0x00,
                                 0x01,
                                 static_cast<uint8_t>(n >> 8),
                                 static_cast<uint8_t>(n),
                                 static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(address),
                                 static_cast<uint8_t>(address >> 24),
                                 static_cast<uint8_t>(address >> 16)};
      static const uint8_t fill = 0;
      ok = fwrite(head, 1, sizeof head, f) == sizeof head &&
           fwrite(bytes.data() + done, 1, n, f) == n && (!(n & 1) || fwrite(&fill, 1, 1, f) == 1);
    }
    if (!ok) {
      break;
    }
  }
  if (!ok) {
    int saved = errno;
    fclose(f);
    return fail(std::string("write error: ") + strerror(saved));
  }
  if (fclose(f) != 0) {
    return fail(std::string("write error: ") + strerror(errno));
  }
  return true;
}
