// The program's own path for one image, apart from any target: the scan
// (range_x) and the download (loadfile) into a sink that does nothing but
// follow the record stream.  Two figures come from it:
//
//  - the whole path for the 64 MiB image against a raw sender that streams
//    the same file in 1024-byte chunks into the same sink, as a ratio;
//  - the peak memory of the path, measured in a child process, for a 1 MiB
//    and a 1 GiB image.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench.h"
#include "bounds.h"
#include "files/files.h"
#include "gtw/gtw.h"

namespace bench {

namespace {

// The target's side of downloads on one end of a socket pair, as cheap as
// it can be: the command line, the go-ahead, the records stepped over up to
// the zero lead word, status 1 and the prompt.  It serves downloads until
// the other end closes.
class fast_sink {
 public:
  fast_sink() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
      return;
    }
    ours_ = sv[0];
    theirs_ = sv[1];
    thread_ = std::thread([this] {
      serve();
      close(theirs_);
    });
  }
  ~fast_sink() {
    if (ours_ >= 0) {
      close(ours_);
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  int fd() const { return ours_; }

 private:
  // Reads more into buf_; false at the end of the connection.
  bool more() {
    ssize_t n = recv(theirs_, buf_, sizeof buf_, 0);
    if (n <= 0) {
      return false;
    }
    at_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }
  bool byte(unsigned char *out) {
    if (at_ == end_ && !more()) {
      return false;
    }
    *out = buf_[at_++];
    return true;
  }
  bool skip(size_t n) {
    while (n > 0) {
      if (at_ == end_ && !more()) {
        return false;
      }
      size_t step = std::min(n, end_ - at_);
      at_ += step;
      n -= step;
    }
    return true;
  }

  void serve() {
    unsigned char c, head[8];
    for (;;) {
      do {
        if (!byte(&c)) {
          return;
        }
      } while (c != '\n');
      send(theirs_, "\x06", 1, MSG_NOSIGNAL);
      for (;;) {
        if (!byte(&head[0]) || !byte(&head[1])) {
          return;
        }
        if (head[0] == 0 && head[1] == 0) {
          break;
        }
        for (int i = 2; i < 8; i++) {
          if (!byte(&head[i])) {
            return;
          }
        }
        unsigned count = (unsigned{head[2]} << 8) | head[3];
        if (!skip(count + (count & 1))) {
          return;
        }
      }
      send(theirs_, "\x01R$", 3, MSG_NOSIGNAL);
    }
  }

  int ours_ = -1, theirs_ = -1;
  std::thread thread_;
  unsigned char buf_[64 * 1024];
  size_t at_ = 0, end_ = 0;
};

// range_x and loadfile, as the program takes an image.
bool scan_and_download(int fd, const std::string &image) {
  uint32_t lowest, highest;
  if (!range_x(image.c_str(), &lowest, &highest) || lowest > highest) {
    return false;
  }
  gtw_conn conn;
  conn.command_socket = fd;
  int result = loadfile(&conn, image.c_str(), static_cast<int>(highest - lowest + 1), 1);
  gtw_flush_messages();
  return result == 0;
}

// An image of `bytes` bytes of data at 10000000 in records of 250, written
// straight to the file; kept for later runs.
bool make_large_image(const std::string &path, uint64_t bytes) {
  const uint64_t records = bytes / ABS_MAX_RECORD;
  const uint64_t size = ABS_HEADER_SIZE + records * (8 + ABS_MAX_RECORD);
  if (FILE *f = fopen(path.c_str(), "rb")) {
    bool same = fseek(f, 0, SEEK_END) == 0 && static_cast<uint64_t>(ftell(f)) == size;
    fclose(f);
    if (same) {
      return true;
    }
  }
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    return false;
  }
  unsigned char header[ABS_HEADER_SIZE] = {};
  bool ok = fwrite(header, 1, sizeof header, f) == sizeof header;
  unsigned char record[8 + ABS_MAX_RECORD];
  for (uint64_t i = 0; ok && i < records; i++) {
    uint32_t address = 0x10000000u + static_cast<uint32_t>(i * ABS_MAX_RECORD);
    const unsigned char head[8] = {0x00,
                                   0x01,
                                   0x00,
                                   ABS_MAX_RECORD,
                                   uint8_t(address >> 8),
                                   uint8_t(address),
                                   uint8_t(address >> 24),
                                   uint8_t(address >> 16)};
    memcpy(record, head, sizeof head);
    memset(record + 8, static_cast<int>(i & 0xFF), ABS_MAX_RECORD);
    ok = fwrite(record, 1, sizeof record, f) == sizeof record;
  }
  return fclose(f) == 0 && ok;
}

}  // namespace

int image_path_child(const std::string &image) {
  fast_sink sink;
  return sink.fd() >= 0 && scan_and_download(sink.fd(), image) ? 0 : 1;
}

bool whole_path_bench(const paths &p, int repeat) {
  const std::string image = p.image_dir + "/image-64m.X";
  fast_sink program_sink, raw_sink;
  if (program_sink.fd() < 0 || raw_sink.fd() < 0) {
    return false;
  }
  uint32_t lowest, highest;
  if (!range_x(image.c_str(), &lowest, &highest)) {
    return false;
  }
  const uint32_t count = highest - lowest + 1;

  std::vector<double> program, raw;
  bool ok = true;
  for (int round = 0; ok && round <= repeat; ++round) {
    double start = now_seconds();
    ok = scan_and_download(program_sink.fd(), image);
    double mid = now_seconds();
    std::string why;
    ok = ok && minimal_download(raw_sink.fd(), image, count, &why);
    if (round > 0) {  // round 0 warms the page cache
      program.push_back(mid - start);
      raw.push_back(now_seconds() - mid);
    }
  }
  if (!ok) {
    fprintf(stderr, "romupdate-bench: the image path into the fast sink failed\n");
    return false;
  }
  double prog = median(program), base = median(raw);
  printf(
      "4. The whole image path for the 64 MiB image (range_x, then loadfile) into a sink that "
      "only\n"
      "   follows the records, against a raw sender of the same file in 1024-byte chunks; MiB/s "
      "of\n"
      "   image data, median of %d\n",
      repeat);
  const double data = static_cast<double>(count);
  printf("  %-22s %8.1f MiB/s   median %.3f s\n", "range_x + loadfile", to_mib(data) / prog, prog);
  printf("  %-22s %8.1f MiB/s   median %.3f s\n", "raw sender", to_mib(data) / base, base);
  printf("  %-22s %8.3f  (raw sender time / range_x + loadfile time)\n\n", "ratio", base / prog);
  return true;
}

bool image_memory_bench(const paths &p, int repeat) {
  const std::string large = p.image_dir + "/image-1g.X";
  if (!make_large_image(large, uint64_t{1} << 30)) {
    fprintf(stderr, "romupdate-bench: cannot write %s\n", large.c_str());
    return false;
  }
  struct size_case {
    const char *label;
    std::string image;
    std::vector<long> peaks;
    std::vector<double> seconds;
  } cases[] = {{"1 MiB image", p.image_dir + "/image-1m.X", {}, {}},
               {"1 GiB image", large, {}, {}}};
  for (int round = 0; round < repeat; ++round) {
    for (auto &c : cases) {
      run_result r = run_measured({p.self, "--image-path-child", c.image}, {}, p.scratch,
                                  "/dev/null", "/dev/null", 600);
      if (r.status != 0) {
        fprintf(stderr, "romupdate-bench: the image path for %s failed\n", c.image.c_str());
        return false;
      }
      c.peaks.push_back(r.max_rss_kib);
      c.seconds.push_back(r.seconds);
    }
  }
  printf(
      "5. Peak memory (maximum resident set, wait4) of the image path (range_x, then loadfile into "
      "the\n"
      "   fast sink) in a process of its own, %d runs each\n",
      repeat);
  for (auto &c : cases) {
    auto [lo, hi] = std::minmax_element(c.peaks.begin(), c.peaks.end());
    printf("  %-22s %8ld KiB   (runs %ld to %ld KiB, median %.2f s)\n", c.label, *hi, *lo, *hi,
           median(c.seconds));
  }
  long small = *std::max_element(cases[0].peaks.begin(), cases[0].peaks.end());
  long big = *std::max_element(cases[1].peaks.begin(), cases[1].peaks.end());
  printf("  %-22s %+8ld KiB  (1 GiB peak - 1 MiB peak)\n\n", "difference", big - small);
  return true;
}

}  // namespace bench
