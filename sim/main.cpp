// romupdate-sim: a flash-programmable emulation target on the network, for
// rehearsing an update without hardware and as the peer of the tests.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "context.h"
#include "options.h"
#include "romupdate_version.h"
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

  sim_context ctx(options);
  if (!options.flash_image.empty() &&
      !read_abs_file(options.flash_image, ctx.target.flash, nullptr, &error)) {
    std::fprintf(stderr, "romupdate-sim: flash image: %s\n", error.c_str());
    return 1;
  }
  if (!options.log_path.empty() && !ctx.log.open(options.log_path, error)) {
    std::fprintf(stderr, "romupdate-sim: transcript: %s\n", error.c_str());
    return 1;
  }
  if (!install_stop_handlers()) {
    std::perror("romupdate-sim: cannot set up signal handling");
    return 1;
  }

  if (!options.replay_path.empty()) {
    ctx.replay = std::make_unique<replay_script>();
    if (!ctx.replay->load(options.replay_path, error)) {
      std::fprintf(stderr, "romupdate-sim: cannot replay '%s': %s\n", options.replay_path.c_str(),
                   error.c_str());
      return 1;
    }
    const trace_header &h = ctx.replay->header();
    std::printf("romupdate-sim: replaying %zu commands recorded by %s %s (%s) at %s\n",
                ctx.replay->command_count(), h.program.c_str(), h.version.c_str(),
                h.platform.c_str(), h.start.c_str());
  }

  server target(ctx);
  if (!target.listen(error)) {
    std::fprintf(stderr, "romupdate-sim: %s\n", error.c_str());
    return 1;
  }
  if (ctx.replay && !ctx.replay->reachable_at_start()) {
    target.stay_unreachable();
  }
  std::printf("romupdate-sim: listening on %s:%u\n", options.address.c_str(),
              static_cast<unsigned>(options.port));
  std::fflush(stdout);

  int status = target.run(stop_pipe[0]);
  ctx.dump_flash(true);
  return status;
}
