// The simulator's command line: where it listens, what target it plays, and
// the faults it injects.  The options are stable: operators rehearse with
// them and the tests drive the simulator through them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "target.h"

// CMD=TEXT: something that happens for every command that begins with CMD.
struct command_text {
  std::string command;
  std::string text;
};

// CMD[@N]: the Nth command (counted over the simulator's life) that begins
// with CMD.
struct command_count {
  std::string command;
  unsigned long nth = 1;
};

// CMD[@N]=TEXT: TEXT for the Nth command that begins with CMD, or for every
// one when N is 0.
struct command_reply {
  std::string command;
  unsigned long nth = 0;
  std::string text;
};

// CMD=N: N of something for every command that begins with CMD.
struct command_number {
  std::string command;
  unsigned long number = 0;
};

// VALUE[@K]: for the Kth download, or for every download when K is 0.
struct download_value {
  unsigned long value = 0;
  unsigned long nth = 0;
};

struct sim_options {
  std::string address = "127.0.0.1";
  uint16_t port = 3810;  // command port; the control port is the next one

  std::vector<std::string> version_lines;
  bool locked = false;
  bool come_back_locked = false;
  bool never_return = false;
  double reboot_time = 3.0;
  // A download whose stream stops for this long is answered as broken off.
  double stall_time = 5.0;
  // Like a real target: a download waits for every byte of its stream as
  // long as the connection lasts, whatever the stall time.
  bool strict_stream = false;

  std::vector<command_text> messages;
  std::vector<command_text> control_messages;
  std::vector<command_reply> rejections;  // CMD is not run; TEXT is its reply
  std::vector<command_number> floods;     // CMD's reply carries N message lines
  std::vector<command_count> close_at;
  std::vector<command_count> hang_at;

  std::map<uint32_t, std::string> hwids;
  std::map<uint32_t, uint32_t> registers;
  std::vector<address_range> used;
  std::string flash_image;  // absolute file whose bytes the flash holds at start

  std::vector<download_value> download_status;
  std::vector<download_value> download_drop_after;
  std::vector<std::string> download_messages;

  std::string log_path;
  std::string dump_path;
  std::string replay_path;
  bool help = false;
  bool version = false;
};

// Fills `options` from the arguments (argv[0] is skipped).  false with
// `error` set on a bad option or value.
bool parse_options(int argc, const char *const argv[], sim_options &options, std::string &error);

// The --help text.
const char *usage_text();
