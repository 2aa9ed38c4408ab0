// Download throughput: loadfile against a minimal sender that puts the same
// bytes on the wire in the same 1024-byte chunks, both into the same
// simulator.  The minimal sender is the floor of what the exchange costs
// (the simulator's receiving and committing included), so the ratio shows
// what loadfile itself adds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench.h"
#include "bounds.h"
#include "files/files.h"
#include "gtw/gtw.h"

namespace bench {

namespace {

constexpr uint16_t kCommandPort = 3810;

}  // namespace

int connect_command(const std::string &address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kCommandPort);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {

bool send_all(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The sender acknowledges what it received at once, as the program does, so
// that a target that holds back a small segment until the one before it is
// acknowledged cannot slow the floor.  Linux forgets the setting again, so it
// is made after every receive.
void ack_at_once(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool recv_byte(int fd, unsigned char *out) {
  ssize_t n;
  do {
    n = recv(fd, out, 1, 0);
  } while (n < 0 && errno == EINTR);
  ack_at_once(fd);
  return n == 1;
}

// Everything up to the target's prompt: "R" and the prompt character at the
// end of what has arrived.
bool read_to_prompt(int fd, std::string *reply) {
  reply->clear();
  char buf[512];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    ack_at_once(fd);
    if (n <= 0) {
      return false;
    }
    reply->append(buf, static_cast<size_t>(n));
    size_t size = reply->size();
    if (size >= 2 && (*reply)[size - 2] == 'R' &&
        ((*reply)[size - 1] == '>' || (*reply)[size - 1] == '$')) {
      return true;
    }
  }
}

}  // namespace

bool minimal_download(int fd, const std::string &path, uint32_t count, std::string *why) {
  char line[32];
  snprintf(line, sizeof line, "lcd -qfb %X\n", static_cast<unsigned>(count));
  unsigned char byte;
  if (!send_all(fd, line, strlen(line)) || !recv_byte(fd, &byte)) {
    *why = "no go-ahead";
    return false;
  }
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    *why = "cannot open " + path;
    return false;
  }
  bool sent = fseek(f, ABS_HEADER_SIZE, SEEK_SET) == 0;
  char chunk[LOAD_BUFFER_SIZE];
  size_t got;
  while (sent && (got = fread(chunk, 1, sizeof chunk, f)) > 0) {
    sent = send_all(fd, chunk, got);
  }
  fclose(f);
  static const char end_of_records[2] = {0, 0};
  if (!sent || !send_all(fd, end_of_records, sizeof end_of_records)) {
    *why = "send failed";
    return false;
  }
  unsigned char status;
  if (!recv_byte(fd, &status) || (status != 1 && !recv_byte(fd, &byte))) {
    *why = "no status";
    return false;
  }
  std::string reply;
  if (!read_to_prompt(fd, &reply)) {
    *why = "no prompt";
    return false;
  }
  if (status != 1) {
    *why = "status " + std::to_string(status) + ": " + reply;
    return false;
  }
  return true;
}

namespace {

void print_queued_messages() {
  while (char *m = gtw_get_message()) {
    fprintf(stderr, "  target: %s\n", m);
    free(m);
  }
}

// User and system time of this process: the sender's own work, apart from
// the simulator's, which runs in its own process.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct timings {
  std::vector<double> seconds, cpu;
  void add(double wall, double own_cpu) {
    seconds.push_back(wall);
    cpu.push_back(own_cpu);
  }
  void report(const char *name, double bytes) const {
    double mid = median(seconds);
    auto [lo, hi] = std::minmax_element(seconds.begin(), seconds.end());
    printf("  %-22s %8.1f MiB/s   median %.3f s (runs %.3f to %.3f s), sender CPU %.3f s\n", name,
           to_mib(bytes) / mid, mid, *lo, *hi, median(cpu));
  }
};

}  // namespace

bool scan_large_image(const paths &p, std::string *image, uint32_t *count) {
  *image = p.image_dir + "/image-64m.X";
  uint32_t lowest, highest;
  if (!range_x(image->c_str(), &lowest, &highest) || lowest > highest) {
    fprintf(stderr, "romupdate-bench: cannot scan %s\n", image->c_str());
    return false;
  }
  *count = highest - lowest + 1;
  return true;
}

bool open_locked(const sim_child &sim, gtw_conn *conn) {
  if (!sim.running()) {
    fprintf(stderr, "romupdate-bench: the simulator did not start: %s\n", sim.error().c_str());
    return false;
  }
  if (gtw_open(conn, sim.address().c_str(), GTW_OPEN_LOCK) != 0) {
    fprintf(stderr, "romupdate-bench: gtw_open %s failed\n", sim.address().c_str());
    print_queued_messages();
    return false;
  }
  return true;
}

bool download_bench(const paths &p, int repeat) {
  std::string image;
  uint32_t count;
  if (!scan_large_image(p, &image, &count)) {
    return false;
  }
  FILE *f = fopen(image.c_str(), "rb");
  if (!f || fseek(f, 0, SEEK_END) != 0) {
    if (f) {
      fclose(f);
    }
    fprintf(stderr, "romupdate-bench: cannot read %s\n", image.c_str());
    return false;
  }
  const double stream_bytes = static_cast<double>(ftell(f) - ABS_HEADER_SIZE);
  fclose(f);

  sim_child sim(p.sim, {"--target", "38100b"}, p.scratch);
  gtw_conn conn;
  if (!open_locked(sim, &conn)) {
    return false;
  }
  int plain = connect_command(sim.address());
  if (plain < 0) {
    fprintf(stderr, "romupdate-bench: cannot connect to %s\n", sim.address().c_str());
    gtw_close(&conn, 1);
    return false;
  }

  printf("1. Download of a 64 MiB image to the simulator at %s\n", sim.address().c_str());
  printf("   \"lcd -qfb %lX\", %.0f bytes of records in 1024-byte chunks, median of %d\n",
         static_cast<unsigned long>(count), stream_bytes, repeat);
  fflush(stdout);

  timings program, minimal;
  auto time_loadfile = [&](bool keep) {
    double start = now_seconds(), start_cpu = cpu_seconds();
    int result = loadfile(&conn, image.c_str(), static_cast<int>(count), 1);
    if (result != 0) {
      fprintf(stderr, "romupdate-bench: loadfile returned %d\n", result);
      print_queued_messages();
      return false;
    }
    if (keep) {
      program.add(now_seconds() - start, cpu_seconds() - start_cpu);
    }
    return true;
  };
  auto time_minimal = [&](bool keep) {
    double start = now_seconds(), start_cpu = cpu_seconds();
    std::string why;
    if (!minimal_download(plain, image, count, &why)) {
      fprintf(stderr, "romupdate-bench: minimal sender failed: %s\n", why.c_str());
      return false;
    }
    if (keep) {
      minimal.add(now_seconds() - start, cpu_seconds() - start_cpu);
    }
    return true;
  };
  // Round 0 warms the page cache and the simulator's flash pages and is not
  // counted.  The senders take turns, and take turns at going first, so that
  // any drift of the machine falls on both.
  bool ok = true;
  for (int round = 0; ok && round <= repeat; ++round) {
    bool keep = round > 0;
    ok = round % 2 ? time_minimal(keep) && time_loadfile(keep)
                   : time_loadfile(keep) && time_minimal(keep);
  }
  close(plain);
  gtw_close(&conn, 1);
  gtw_flush_messages();
  sim.stop();
  if (!ok) {
    return false;
  }

  program.report("loadfile", stream_bytes);
  minimal.report("minimal sender", stream_bytes);
  printf("  %-22s %8.3f  (loadfile throughput / minimal sender throughput)\n\n", "ratio",
         median(minimal.seconds) / median(program.seconds));
  return true;
}

}  // namespace bench
