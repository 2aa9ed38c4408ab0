// romupdate-sim: a flash-programmable emulation target on the network, for
// rehearsing an update without hardware and as the peer of the tests.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "live_target.h"
#include "options.h"
#include "romupdate_version.h"
#include "replay_target.h"
#include "server.h"

namespace {

int stop_pipe[2] = {-1, -1};

// A stop request only writes a byte that the event loop is waiting for.
void request_stop(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(stop_pipe[1], &byte, 1);
  errno = saved;
}

bool install_stop_handlers() {
  if (pipe(stop_pipe) != 0) {
    return false;
  }
  for (int fd : stop_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
    return false;
  }
  // A client that vanishes must show up as a failed send, not kill us.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  sim_options options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) {
    std::fprintf(stderr, "romupdate-sim: %s\n", error.c_str());
    return 1;
  }
  if (options.help) {
    std::fputs(usage_text(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("romupdate-sim %s\n", romupdate_version);
    return 0;
  }

  transcript log;
  if (!options.log_path.empty() && !log.open(options.log_path, error)) {
    std::fprintf(stderr, "romupdate-sim: transcript: %s\n", error.c_str());
    return 1;
  }
  // One target plays behind every session: the live one, or the one a
  // trace recorded.
  std::unique_ptr<target_model> model;
  replay_script script;
  live_target *live = nullptr;
  if (options.replay_path.empty()) {
    auto target = std::make_unique<live_target>(options, log);
    if (!target->load_flash(error)) {
      std::fprintf(stderr, "romupdate-sim: flash image: %s\n", error.c_str());
      return 1;
    }
    live = target.get();
    model = std::move(target);
  } else {
    if (!script.load(options.replay_path, error)) {
      std::fprintf(stderr, "romupdate-sim: cannot replay '%s': %s\n", options.replay_path.c_str(),
                   error.c_str());
      return 1;
    }
    const trace_header &h = script.header();
    std::printf("romupdate-sim: replaying %zu commands recorded by %s %s (%s) at %s",
                script.command_count(), h.program.c_str(), h.version.c_str(), h.platform.c_str(),
                h.start.c_str());
    if (!script.user().empty()) {
      std::printf(", the run of user %s on host %s", script.user().c_str(), script.host().c_str());
    }
    std::printf("\n");
    // What the kernel decides and the target cannot: how far a client gets
    // into a connection that is already gone before it notices.
    if (size_t line = script.broken_stream_line()) {
      std::printf(
          "romupdate-sim: the kernel chooses how far the download at trace line %zu gets "
          "and whether its end shows on a send or a receive\n",
          line);
    } else if (size_t line = script.dead_send_line()) {
      std::printf(
          "romupdate-sim: the kernel chooses whether the command at trace line %zu, sent "
          "into a connection already ended, fails on its send or its receive\n",
          line);
    }
    model = std::make_unique<replay_target>(script, log, options.stall_time);
  }
  if (!install_stop_handlers()) {
    std::perror("romupdate-sim: cannot set up signal handling");
    return 1;
  }

  server target(options, log, *model);
  if (!target.listen(error)) {
    std::fprintf(stderr, "romupdate-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("romupdate-sim: listening on %s:%u\n", options.address.c_str(),
              static_cast<unsigned>(options.port));
  std::fflush(stdout);

  int status = target.run(stop_pipe[0]);
  if (live) {
    live->dump_flash(true);
  }
  return status;
}
