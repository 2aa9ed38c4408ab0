#include "options.h"

#include <arpa/inet.h>

#include <climits>
#include <optional>
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

namespace {

// The state of one parse beyond the options themselves.
struct parse_state {
  bool version_text_given = false;
};

// Applies one option's value; false when the value is bad, with `form`
// naming the form it should have.
using apply_fn = bool (*)(sim_options &o, parse_state &st, std::string_view value,
                          const char *&form);

struct option_spec {
  const char *name;  // nullptr: a heading of the usage text
  bool takes_value;
  apply_fn apply;
  const char *usage;  // its lines of the usage text
};

template <class T>
bool set(T &field, T value) {
  field = std::move(value);
  return true;
}

bool seconds_into(double &field, std::string_view value, const char *&form) {
  form = "seconds, 0 to 3600";
  auto s = parse_seconds(value);
  return s && *s <= 3600 && set(field, *s);
}

bool text_rule(std::vector<command_text> &rules, std::string_view value, const char *&form) {
  form = "CMD=TEXT";
  std::string_view cmd, text;
  return split_at_equals(value, cmd, text) &&
         (rules.push_back({std::string(cmd), std::string(text)}), true);
}

bool count_rule(std::vector<command_count> &rules, std::string_view value, const char *&form) {
  form = "CMD[@N], N from 1";
  unsigned long nth = 1;
  std::string_view cmd = split_at_count(value, nth, 1);
  return !cmd.empty() && nth != 0 && (rules.push_back({std::string(cmd), nth}), true);
}

bool download_rule(std::vector<download_value> &rules, std::string_view value, unsigned long most,
                   const char *&form) {
  unsigned long nth = 0;
  auto n = parse_decimal(split_at_count(value, nth, 0));
  return n && *n <= most && (value.find('@') == std::string_view::npos || nth != 0) &&
         (rules.push_back({*n, nth}), true);
}

const option_spec options_table[] = {
    {nullptr, false, nullptr, "Where it listens:\n"},
    {"--address", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "an IPv4 address";
       in_addr parsed{};
       return inet_pton(AF_INET, std::string(v).c_str(), &parsed) == 1 &&
              set(o.address, std::string(v));
     },
     "  --address A            IPv4 address to listen on (default 127.0.0.1)\n"},
    {"--port", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "1 to 65534";
       auto port = parse_decimal(v);
       return port && *port != 0 && *port <= 65534 && set(o.port, static_cast<uint16_t>(*port));
     },
     "  --port P               command port (default 3810); control port is P+1\n"},
    {nullptr, false, nullptr, "\nThe target it plays:\n"},
    {"--target", true,
     [](sim_options &o, parse_state &st, std::string_view v, const char *&form) {
       form = "probe, 38100b, 38100a or unknown";
       std::vector<std::string> preset;
       if (v == "probe") {
         preset = lines_of(probe_version);
       } else if (v == "38100b") {
         preset = lines_of(b_version);
       } else if (v == "38100a") {
         preset = lines_of(a_version);
       } else if (v == "unknown") {
         preset = lines_of(unknown_version);
       } else {
         return false;
       }
       // An explicit --version-text wins over a preset, in either order.
       if (!st.version_text_given) {
         o.version_lines = preset;
       }
       return true;
     },
     "  --target KIND          version text of a probe, 38100b (default), 38100a\n"
     "                         or unknown target\n"},
    {"--version-text", true,
     [](sim_options &o, parse_state &st, std::string_view v, const char *&) {
       st.version_text_given = true;
       return set(o.version_lines, split_version_text(v));
     },
     "  --version-text TEXT    any version text; \\n separates lines\n"},
    {"--locked", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.locked, true);
     },
     "  --locked               start locked by another user interface\n"},
    {"--come-back-locked", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.come_back_locked, true);
     },
     "  --come-back-locked     come back from every reboot locked that way\n"},
    {"--never-return", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.never_return, true);
     },
     "  --never-return         never listen again after a reboot\n"},
    {"--reboot-time", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return seconds_into(o.reboot_time, v, form);
     },
     "  --reboot-time SECONDS  connections are refused this long after\n"
     "                         \"init -r\" or \"init -p\" (default 3; fractions allowed)\n"},
    {"--hwid", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "ADDR=TEXT, ADDR in hex";
       std::string_view addr, text;
       std::optional<uint32_t> a;
       if (split_at_equals(v, addr, text)) {
         a = parse_hex32(addr);
       }
       return a && set(o.hwids[*a], std::string(text));
     },
     "  --hwid ADDR=TEXT       reply line of \"pf -i ADDR\" (ADDR hex; default \"0\")\n"},
    {"--register", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "ADDR=VALUE in hex";
       std::string_view addr, val;
       std::optional<uint32_t> a, n;
       if (split_at_equals(v, addr, val)) {
         a = parse_hex32(addr);
         n = parse_hex32(val);
       }
       return a && n && set(o.registers[*a], *n);
     },
     "  --register ADDR=VALUE  value read by \"m -a2 -d2 ADDR\" (hex; default 0)\n"},
    {"--used", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "START-END in hex, END not below START";
       size_t dash = v.find('-');
       std::optional<uint32_t> s, e;
       if (dash != std::string_view::npos) {
         s = parse_hex32(v.substr(0, dash));
         e = parse_hex32(v.substr(dash + 1));
       }
       return s && e && *e >= *s && (o.used.push_back({*s, *e}), true);
     },
     "  --used START-END       flash area in use without data (hex, inclusive;\n"
     "                         repeatable); \"pf -a\" reports it \"Used\"\n"},
    {"--flash-image", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&) {
       return set(o.flash_image, std::string(v));
     },
     "  --flash-image FILE     the flash holds the bytes of this absolute file\n"
     "                         at start\n"},
    {nullptr, false, nullptr,
     "\nFaults (CMD matches every command that begins with CMD; N and K count\n"
     "from 1 over the simulator's life):\n"},
    {"--message", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return text_rule(o.messages, v, form);
     },
     "  --message CMD=TEXT     reply to CMD includes the line TEXT (repeatable)\n"},
    {"--reject", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "CMD[@N]=TEXT, N from 1";
       std::string_view rule, text;
       unsigned long nth = 0;
       if (!split_at_equals(v, rule, text)) {
         return false;
       }
       std::string_view cmd = split_at_count(rule, nth, 0);
       bool counted = cmd.size() < rule.size();
       return !cmd.empty() && !(counted && nth == 0) &&
              (o.rejections.push_back({std::string(cmd), nth, std::string(text)}), true);
     },
     "  --reject CMD[@N]=TEXT  the Nth CMD (default: every one) is not carried\n"
     "                         out; its reply is the line TEXT (an \"lcd\" gets\n"
     "                         it instead of the go-ahead)\n"},
    {"--message-flood", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "CMD=N, N from 1";
       std::string_view cmd, count;
       std::optional<unsigned long> n;
       if (split_at_equals(v, cmd, count)) {
         n = parse_decimal(count);
       }
       return n && *n != 0 && (o.floods.push_back({std::string(cmd), *n}), true);
     },
     "  --message-flood CMD=N  reply to CMD carries N message lines before its\n"
     "                         prompt, sent as fast as the client reads them\n"},
    {"--control-message", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return text_rule(o.control_messages, v, form);
     },
     "  --control-message CMD=TEXT\n"
     "                         TEXT is sent on the session's control connection\n"
     "                         when CMD arrives (repeatable)\n"},
    {"--close-at", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return count_rule(o.close_at, v, form);
     },
     "  --close-at CMD[@N]     the Nth CMD drops both connections unanswered\n"},
    {"--hang-at", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return count_rule(o.hang_at, v, form);
     },
     "  --hang-at CMD[@N]      the Nth CMD and everything after it on that\n"
     "                         connection is never answered\n"},
    {"--download-status", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "N[@K], N from 0 to 255, K from 1";
       return download_rule(o.download_status, v, 255, form);
     },
     "  --download-status N[@K]\n"
     "                         status byte N for the Kth download (default: every)\n"},
    {"--download-drop-after", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       form = "BYTES[@K], K from 1";
       return download_rule(o.download_drop_after, v, ULONG_MAX, form);
     },
     "  --download-drop-after BYTES[@K]\n"
     "                         drop the connection after BYTES bytes of the Kth\n"
     "                         download's record stream (default: every)\n"},
    {"--download-message", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&) {
       o.download_messages.emplace_back(v);
       return true;
     },
     "  --download-message TEXT\n"
     "                         a message line after each download (repeatable)\n"},
    {"--stall-time", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&form) {
       return seconds_into(o.stall_time, v, form);
     },
     "  --stall-time SECONDS   a download whose record stream stops this long is\n"
     "                         answered as broken off (default 5)\n"},
    {"--strict-stream", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.strict_stream, true);
     },
     "  --strict-stream        like a real target, a download waits for every\n"
     "                         byte of its record stream as long as the connection\n"
     "                         lasts; --stall-time is not applied\n"},
    {nullptr, false, nullptr, "\nRecords:\n"},
    {"--log", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&) {
       return set(o.log_path, std::string(v));
     },
     "  --log FILE             transcript, one tab-separated line per event:\n"
     "                         SESSION TIME KIND TEXT; KIND is cmd, ctl, data,\n"
     "                         reboot, drop or, when replaying, diverge\n"},
    {"--dump-flash", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&) {
       return set(o.dump_path, std::string(v));
     },
     "  --dump-flash FILE      flash memory as an absolute file, written after\n"
     "                         every change of the flash and at exit\n"},
    {"--replay", true,
     [](sim_options &o, parse_state &, std::string_view v, const char *&) {
       return set(o.replay_path, std::string(v));
     },
     "  --replay TRACE         play the target that a trace of romupdate recorded\n"
     "                         (ROMUPDATE_TRACE): the recorded answers, drops and\n"
     "                         reboots; the options of the target and its faults\n"
     "                         are not used.  A command the trace does not have at\n"
     "                         that point is a divergence: noted in the transcript\n"
     "                         and on standard error, answered with a \"!ERROR\"\n"
     "                         line and a prompt\n"},
    {"--help", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.help, true);
     },
     "  --help                 this text\n"},
    {"-h", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.help, true);
     },
     ""},
    {"--version", false,
     [](sim_options &o, parse_state &, std::string_view, const char *&) {
       return set(o.version, true);
     },
     "  --version              the version of romupdate-sim\n"},
};

}  // namespace

bool parse_options(int argc, const char *const argv[], sim_options &o, std::string &error) {
  parse_state st;
  o.version_lines = lines_of(b_version);
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (size_t eq = arg.find('='); starts_with(arg, "--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const option_spec *def = nullptr;
    for (const option_spec &s : options_table) {
      if (s.name && name == s.name) {
        def = &s;
      }
    }
    if (!def) {
      error = "unknown option '" + std::string(arg) + "' (see --help)";
      return false;
    }
    if (!def->takes_value && value) {
      error = std::string(name) + " takes no value";
      return false;
    }
    if (def->takes_value && !value) {
      if (i + 1 >= argc) {
        error = std::string(name) + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    const char *form = "";
    if (!def->apply(o, st, value.value_or(""), form)) {
      error = "bad value for " + std::string(name) + " (" + form + "): '" +
              std::string(value.value_or("")) + "'";
      return false;
    }
  }
  return true;
}

const char *usage_text() {
  static const std::string text = [] {
    std::string t =
        "usage: romupdate-sim [OPTION]...\n"
        "Plays a flash-programmable emulation target on the network, so that an\n"
        "update can be rehearsed without hardware.  Prints\n"
        "  romupdate-sim: listening on ADDR:PORT\n"
        "once it accepts connections; stops on SIGTERM or SIGINT.\n"
        "\n";
    for (const option_spec &s : options_table) {
      t += s.usage;
    }
    return t;
  }();
  return text.c_str();
}
