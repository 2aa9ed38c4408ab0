#include "options.h"

#include <arpa/inet.h>

#include <string_view>

#include "words.h"

namespace {

const char *const probe_version[] = {"XR T5821 processor probe", "Firmware revision A.03.10"};
const char *const b_version[] = {"XR 38100B Emulation System", "System firmware A.03.10"};
const char *const a_version[] = {"XR 38100 Series Emulation System", "System firmware A.03.10"};
const char *const unknown_version[] = {"XR emulation system", "System firmware A.01.00"};

template <size_t N>
std::vector<std::string> lines_of(const char *const (&text)[N]) {
  return std::vector<std::string>(text, text + N);
}

// "\n" in a version text separates lines, written either as a real line
// feed or as a backslash and an "n".
std::vector<std::string> split_version_text(std::string_view text) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      lines.push_back(current);
      current.clear();
    } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      lines.push_back(current);
      current.clear();
      ++i;
    } else if (text[i] != '\r') {
      current += text[i];
    }
  }
  lines.push_back(current);
  return lines;
}

// CMD=TEXT, split at the first "=".
bool split_at_equals(std::string_view value, std::string_view &left, std::string_view &right) {
  size_t eq = value.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    return false;
  }
  left = value.substr(0, eq);
  right = value.substr(eq + 1);
  return true;
}

// X[@N]: the "@N" counts only when N is a decimal number, so that commands
// holding an "@" of their own ("m -a4 -d4 0a6c@reg=...") stay whole.
std::string_view split_at_count(std::string_view value, unsigned long &nth,
                                unsigned long fallback) {
  nth = fallback;
  size_t at = value.rfind('@');
  if (at == std::string_view::npos) {
    return value;
  }
  auto n = parse_decimal(value.substr(at + 1));
  if (!n) {
    return value;
  }
  nth = *n;
  return value.substr(0, at);
}

}  // namespace

bool parse_options(int argc, const char *const argv[], sim_options &o, std::string &error) {
  bool version_text_given = false;
  o.version_lines = lines_of(b_version);

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg;
    std::string_view value;
    bool has_value = false;
    if (size_t eq = arg.find('='); starts_with(arg, "--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    auto flag = [&](std::string_view n) {
      if (name != n) {
        return false;
      }
      if (has_value) {
        error = std::string(n) + " takes no value";
      }
      return true;
    };
    auto takes = [&](std::string_view n) {
      if (name != n) {
        return false;
      }
      if (!has_value) {
        if (i + 1 >= argc) {
          error = std::string(n) + " needs a value";
          return true;
        }
        value = argv[++i];
        has_value = true;
      }
      return true;
    };
    auto bad = [&](const char *what) {
      error =
          "bad value for " + std::string(name) + " (" + what + "): '" + std::string(value) + "'";
    };

    if (flag("--help") || flag("-h")) {
      o.help = true;
    } else if (flag("--version")) {
      o.version = true;
    } else if (flag("--locked")) {
      o.locked = true;
    } else if (flag("--come-back-locked")) {
      o.come_back_locked = true;
    } else if (flag("--never-return")) {
      o.never_return = true;
    } else if (flag("--strict-stream")) {
      o.strict_stream = true;
    } else if (takes("--address")) {
      in_addr parsed{};
      if (error.empty() && inet_pton(AF_INET, std::string(value).c_str(), &parsed) != 1) {
        bad("an IPv4 address");
      } else {
        o.address = value;
      }
    } else if (takes("--port")) {
      auto port = parse_decimal(value);
      if (error.empty() && (!port || *port == 0 || *port > 65534)) {
        bad("1 to 65534");
      } else if (port) {
        o.port = static_cast<uint16_t>(*port);
      }
    } else if (takes("--target")) {
      std::vector<std::string> preset;
      if (value == "probe") {
        preset = lines_of(probe_version);
      } else if (value == "38100b") {
        preset = lines_of(b_version);
      } else if (value == "38100a") {
        preset = lines_of(a_version);
      } else if (value == "unknown") {
        preset = lines_of(unknown_version);
      } else if (error.empty()) {
        bad("probe, 38100b, 38100a or unknown");
      }
      // An explicit --version-text wins over a preset, in either order.
      if (!preset.empty() && !version_text_given) {
        o.version_lines = preset;
      }
    } else if (takes("--version-text")) {
      o.version_lines = split_version_text(value);
      version_text_given = true;
    } else if (takes("--reboot-time") || takes("--stall-time")) {
      auto seconds = parse_seconds(value);
      if (error.empty() && (!seconds || *seconds > 3600)) {
        bad("seconds, 0 to 3600");
      } else if (seconds) {
        (name == "--reboot-time" ? o.reboot_time : o.stall_time) = *seconds;
      }
    } else if (takes("--message") || takes("--control-message")) {
      std::string_view cmd, text;
      if (error.empty() && !split_at_equals(value, cmd, text)) {
        bad("CMD=TEXT");
      } else {
        (name == "--message" ? o.messages : o.control_messages)
            .push_back({std::string(cmd), std::string(text)});
      }
    } else if (takes("--reject")) {
      std::string_view rule, cmd, text;
      unsigned long nth = 0;
      bool ok = split_at_equals(value, rule, text);
      if (ok) {
        cmd = split_at_count(rule, nth, 0);
      }
      bool counted = cmd.size() < rule.size();
      if (error.empty() && (!ok || cmd.empty() || (counted && nth == 0))) {
        bad("CMD[@N]=TEXT, N from 1");
      } else {
        o.rejections.push_back({std::string(cmd), nth, std::string(text)});
      }
    } else if (takes("--message-flood")) {
      std::string_view cmd, count;
      std::optional<unsigned long> n;
      if (split_at_equals(value, cmd, count)) {
        n = parse_decimal(count);
      }
      if (error.empty() && (!n || *n == 0)) {
        bad("CMD=N, N from 1");
      } else if (n) {
        o.floods.push_back({std::string(cmd), *n});
      }
    } else if (takes("--close-at") || takes("--hang-at")) {
      unsigned long nth = 1;
      std::string_view cmd = split_at_count(value, nth, 1);
      if (error.empty() && (cmd.empty() || nth == 0)) {
        bad("CMD[@N], N from 1");
      } else {
        (name == "--close-at" ? o.close_at : o.hang_at).push_back({std::string(cmd), nth});
      }
    } else if (takes("--hwid")) {
      std::string_view addr, text;
      std::optional<uint32_t> a;
      if (split_at_equals(value, addr, text)) {
        a = parse_hex32(addr);
      }
      if (error.empty() && !a) {
        bad("ADDR=TEXT, ADDR in hex");
      } else if (a) {
        o.hwids[*a] = std::string(text);
      }
    } else if (takes("--register")) {
      std::string_view addr, val;
      std::optional<uint32_t> a, v;
      if (split_at_equals(value, addr, val)) {
        a = parse_hex32(addr);
        v = parse_hex32(val);
      }
      if (error.empty() && (!a || !v)) {
        bad("ADDR=VALUE in hex");
      } else if (a && v) {
        o.registers[*a] = *v;
      }
    } else if (takes("--used")) {
      size_t dash = value.find('-');
      std::optional<uint32_t> s, e;
      if (dash != std::string_view::npos) {
        s = parse_hex32(value.substr(0, dash));
        e = parse_hex32(value.substr(dash + 1));
      }
      if (error.empty() && (!s || !e || *e < *s)) {
        bad("START-END in hex, END not below START");
      } else if (s && e) {
        o.used.push_back({*s, *e});
      }
    } else if (takes("--flash-image")) {
      o.flash_image = value;
    } else if (takes("--download-status") || takes("--download-drop-after")) {
      unsigned long nth = 0;
      std::string_view number = split_at_count(value, nth, 0);
      auto n = parse_decimal(number);
      bool status = name == "--download-status";
      if (error.empty() &&
          (!n || (status && *n > 255) || (value.find('@') != std::string_view::npos && nth == 0))) {
        bad(status ? "N[@K], N from 0 to 255, K from 1" : "BYTES[@K], K from 1");
      } else if (n) {
        (status ? o.download_status : o.download_drop_after).push_back({*n, nth});
      }
    } else if (takes("--download-message")) {
      o.download_messages.emplace_back(value);
    } else if (takes("--log")) {
      o.log_path = value;
    } else if (takes("--dump-flash")) {
      o.dump_path = value;
    } else if (takes("--replay")) {
      o.replay_path = value;
    } else {
      error = "unknown option '" + std::string(arg) + "' (see --help)";
    }
    if (!error.empty()) {
      return false;
    }
  }
  return true;
}

const char *usage_text() {
  return "usage: romupdate-sim [OPTION]...\n"
         "Plays a flash-programmable emulation target on the network, so that an\n"
         "update can be rehearsed without hardware.  Prints\n"
         "  romupdate-sim: listening on ADDR:PORT\n"
         "once it accepts connections; stops on SIGTERM or SIGINT.\n"
         "\n"
         "Where it listens:\n"
         "  --address A            IPv4 address to listen on (default 127.0.0.1)\n"
         "  --port P               command port (default 3810); control port is P+1\n"
         "\n"
         "The target it plays:\n"
         "  --target KIND          version text of a probe, 38100b (default), 38100a\n"
         "                         or unknown target\n"
         "  --version-text TEXT    any version text; \\n separates lines\n"
         "  --locked               start locked by another user interface\n"
         "  --come-back-locked     come back from every reboot locked that way\n"
         "  --never-return         never listen again after a reboot\n"
         "  --reboot-time SECONDS  connections are refused this long after\n"
         "                         \"init -r\" or \"init -p\" (default 3; fractions allowed)\n"
         "  --hwid ADDR=TEXT       reply line of \"pf -i ADDR\" (ADDR hex; default \"0\")\n"
         "  --register ADDR=VALUE  value read by \"m -a2 -d2 ADDR\" (hex; default 0)\n"
         "  --used START-END       flash area in use without data (hex, inclusive;\n"
         "                         repeatable); \"pf -a\" reports it \"Used\"\n"
         "  --flash-image FILE     the flash holds the bytes of this absolute file\n"
         "                         at start\n"
         "\n"
         "Faults (CMD matches every command that begins with CMD; N and K count\n"
         "from 1 over the simulator's life):\n"
         "  --message CMD=TEXT     reply to CMD includes the line TEXT (repeatable)\n"
         "  --reject CMD[@N]=TEXT  the Nth CMD (default: every one) is not carried\n"
         "                         out; its reply is the line TEXT (an \"lcd\" gets\n"
         "                         it instead of the go-ahead)\n"
         "  --message-flood CMD=N  reply to CMD carries N message lines before its\n"
         "                         prompt, sent as fast as the client reads them\n"
         "  --control-message CMD=TEXT\n"
         "                         TEXT is sent on the session's control connection\n"
         "                         when CMD arrives (repeatable)\n"
         "  --close-at CMD[@N]     the Nth CMD drops both connections unanswered\n"
         "  --hang-at CMD[@N]      the Nth CMD and everything after it on that\n"
         "                         connection is never answered\n"
         "  --download-status N[@K]\n"
         "                         status byte N for the Kth download (default: every)\n"
         "  --download-drop-after BYTES[@K]\n"
         "                         drop the connection after BYTES bytes of the Kth\n"
         "                         download's record stream (default: every)\n"
         "  --download-message TEXT\n"
         "                         a message line after each download (repeatable)\n"
         "  --stall-time SECONDS   a download whose record stream stops this long is\n"
         "                         answered as broken off (default 5)\n"
         "  --strict-stream        like a real target, a download waits for every\n"
         "                         byte of its record stream as long as the connection\n"
         "                         lasts; --stall-time is not applied\n"
         "\n"
         "Records:\n"
         "  --log FILE             transcript, one tab-separated line per event:\n"
         "                         SESSION TIME KIND TEXT; KIND is cmd, ctl, data,\n"
         "                         reboot or drop\n"
         "  --dump-flash FILE      flash memory as an absolute file, written after\n"
         "                         every change of the flash and at exit\n"
         "  --replay TRACE         play the target that a trace of romupdate recorded\n"
         "                         (ROMUPDATE_TRACE): the recorded answers, drops and\n"
         "                         reboots; the options of the target and its faults\n"
         "                         are not used.  A command the trace does not have at\n"
         "                         that point is a divergence: noted in the transcript\n"
         "                         and on standard error, answered with a \"!ERROR\"\n"
         "                         line and a prompt\n"
         "  --help                 this text\n"
         "  --version              the version of romupdate-sim\n";
}
