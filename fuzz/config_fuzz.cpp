// The configuration reader over any file contents, for every class of
// target, one file or several read one after the other into the same table.
//
// Input: one mode byte, then the files, separated by form feeds.
//   bits 0-1  target class: none, yak, quokka, marlin
//   bit 2     programming_lan
//   bit 3     verboseflag
//   bit 4     local_flag of odd-numbered files (even-numbered get the other)
//   bit 5     long configuration paths (longer than the record's field)
//   bit 6     the last file's read fails where its contents end
//
// A bad file ends the run through exit_romupdate(1), which throws here; that
// is an expected outcome.  A file read to its end must leave a table that the
// programming sequence can trust.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/flash_card.h"
#include "config/internal.h"
#include "run_state.h"
#include "fuzz_test_support.h"

namespace {

constexpr int kMaxFiles = 6;

// A file whose contents are the input's bytes.  A stream of our own rather
// than fmemopen, so that the harness knows whether the reader closed it (it
// does on every path but some of the fatal ones) and can make a read fail.
struct memory_file {
  std::string_view bytes;
  size_t pos = 0;
  bool fail_at_end = false;
  bool closed = false;
  FILE *file = nullptr;

  memory_file(std::string_view b, bool fail) : bytes(b), fail_at_end(fail) {
    cookie_io_functions_t io{};
    io.read = [](void *c, char *buf, size_t n) -> ssize_t {
      auto *self = static_cast<memory_file *>(c);
      size_t left = self->bytes.size() - self->pos;
      if (left == 0) {
        if (self->fail_at_end) {
          errno = EIO;
          return -1;
        }
        return 0;
      }
      if (n > left) {
        n = left;
      }
      memcpy(buf, self->bytes.data() + self->pos, n);
      self->pos += n;
      return static_cast<ssize_t>(n);
    };
    io.close = [](void *c) -> int {
      static_cast<memory_file *>(c)->closed = true;
      return 0;
    };
    file = fopencookie(this, "r", io);
  }
  ~memory_file() {
    if (file && !closed) {
      fclose(file);
    }
  }
  memory_file(const memory_file &) = delete;
  memory_file &operator=(const memory_file &) = delete;
};

void free_nwire_commands(product_config *e) {
  FUZZ_CHECK(e->nwirecmd_count >= 0 && e->nwirecmd_count <= MAX_NWIRECMDS);
  for (int i = 0; i < e->nwirecmd_count; i++) {
    free(e->nwirecmd[i]);
  }
  e->nwirecmd_count = 0;
}

bool terminated(const char (&text)[CONFIG_TEXT_SIZE]) {
  return memchr(text, '\0', sizeof text) != nullptr;
}

bool is_whole_card(const product_config &e) {
  return e.romstart == 0x10000000 && e.romsize == 0x100000;
}

std::string file_path(int index, bool long_paths) {
  std::string path = "inst/update/fuzz" + std::to_string(index) + ".cfg";
  if (long_paths) {
    path.insert(0, std::string(100, 'd') + "/");
  }
  return path;
}

// What the programming sequence relies on in the entries it is given.
void check_table(const product_config *table, int count,
                 const std::vector<unsigned char> &local_of_file, bool long_paths) {
  const int stored = count < MAX_CONFIG_ENTRIES ? count : MAX_CONFIG_ENTRIES;
  bool any_whole_card = false;
  for (int i = 0; i < stored; i++) {
    const product_config &e = table[i];
    FUZZ_CHECK(terminated(e.config_name) && terminated(e.pfname) && terminated(e.binname) &&
               terminated(e.lan_binname));
    FUZZ_CHECK(e.romident_count >= 1 && e.romident_count <= MAX_ROMIDENTS);
    FUZZ_CHECK(e.binname[0] != '\0');
    FUZZ_CHECK(e.nwirecmd_count >= 0 && e.nwirecmd_count <= MAX_NWIRECMDS);
    for (int k = 0; k < e.nwirecmd_count; k++) {
      FUZZ_CHECK(e.nwirecmd[k] != nullptr);
    }

    // The entry's file, by its path as the record holds it (cut to the
    // field, where long paths may no longer tell the files apart).
    int file = -1, matches = 0;
    for (size_t f = 0; f < local_of_file.size(); f++) {
      if (file_path(static_cast<int>(f), long_paths).substr(0, CONFIG_TEXT_SIZE - 1) ==
          e.config_name) {
        file = static_cast<int>(f);
        matches++;
      }
    }
    FUZZ_CHECK(matches >= 1);
    if (matches == 1 && local_of_file[file]) {
      FUZZ_CHECK(!strchr(e.binname, '/') && !strchr(e.lan_binname, '/'));
    }

    if (programming_lan) {
      FUZZ_CHECK(e.lan_binname[0] != '\0');
    } else {
      // The LAN ROM keys are passed over for every other product.
      FUZZ_CHECK(e.lan_binname[0] == '\0' && e.lan_romstart == 0x40000 &&
                 e.lan_romsize == 0x40000 && e.lan_romwidth == 16);
    }
    if (quokka) {
      FUZZ_CHECK(e.romstart != 0xB00000 && e.romstart != 0xA00000);
    } else {
      FUZZ_CHECK(!(e.romstart >= 0x10000000 && e.romstart < 0x100FFFFF));
    }
    if (quokka && is_whole_card(e)) {
      any_whole_card = true;
    }
  }
  // The whole-card entry is programmed first.
  if (any_whole_card) {
    FUZZ_CHECK(is_whole_card(table[0]));
  }

  // Erase ranges: only on a 38100B, in ascending order, at most two for each
  // entry in the table (the erase command is sized on that).
  std::vector<const product_config *> stored_entries;
  for (int i = 0; i < stored; i++) {
    stored_entries.push_back(&table[i]);
  }
  int nodes = 0;
  uint32_t previous = 0;
  for (const card_range &n : card_erase_ranges(stored_entries.data(), stored)) {
    FUZZ_CHECK(n.start >= previous);
    previous = n.start;
    nodes++;
  }
  if (!quokka) {
    FUZZ_CHECK(nodes == 0);
  }
  FUZZ_CHECK(nodes <= 2 * stored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const uint8_t mode = data[0];
  const unsigned cls = mode & 3;
  yak = cls == 1;
  quokka = cls == 2;
  marlin = cls == 3;
  programming_lan = (mode >> 2) & 1;
  verboseflag = (mode >> 3) & 1;
  const unsigned char odd_local = (mode >> 4) & 1;
  const bool long_paths = (mode >> 5) & 1;
  const bool fail_last = (mode >> 6) & 1;
  init_r = 0;

  std::vector<std::string_view> files;
  std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
  while (static_cast<int>(files.size()) < kMaxFiles - 1) {
    size_t ff = rest.find('\f');
    if (ff == std::string_view::npos) {
      break;
    }
    files.push_back(rest.substr(0, ff));
    rest.remove_prefix(ff + 1);
  }
  files.push_back(rest);

  static product_config table[MAX_CONFIG_ENTRIES];
  memset(table, 0, sizeof table);
  std::vector<unsigned char> local_of_file;
  int count = 0;
  bool ended = false;
  try {
    for (size_t f = 0; f < files.size(); f++) {
      const bool last = f + 1 == files.size();
      const unsigned char local = (f & 1) ? odd_local : !odd_local;
      local_of_file.push_back(local);
      memory_file file(files[f], fail_last && last);
      FUZZ_CHECK(file.file != nullptr);
      const std::string path = file_path(static_cast<int>(f), long_paths);
      const int before = count;
      count = get_config_data(path.c_str(), file.file, local, table, count);
      FUZZ_CHECK(file.closed);
      FUZZ_CHECK(count >= before);
      // A failed read must not pass for the end of the file.
      FUZZ_CHECK(!file.fail_at_end);
    }
  } catch (const run_ended &e) {
    FUZZ_CHECK(e.status == 1);
    ended = true;
  }
  if (!ended) {
    check_table(table, count, local_of_file, long_paths);
  }

  for (product_config &e : table) {
    free_nwire_commands(&e);
  }
  free_nwire_commands(config_entry(table, MAX_CONFIG_ENTRIES));
  return 0;
}
