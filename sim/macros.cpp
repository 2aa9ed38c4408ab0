#include "macros.h"

#include <vector>

#include "words.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The text between the "{" at body_open and its matching "}", or nothing
// when the braces do not close.  Braces inside double quotes do not count.
bool braced_text(std::string_view text, size_t body_open, std::string_view *inner, size_t *after) {
  int depth = 0;
  quote_state quotes;
  for (size_t i = body_open; i < text.size(); ++i) {
    if (!quotes.outside(text, &i)) {
      continue;
    }
    char c = text[i];
    if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      *inner = text.substr(body_open + 1, i - body_open - 1);
      *after = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string run_echo(std::string_view args) {
  std::string out;
  std::string line;
  bool pending = false;  // text since the last line end
  auto end_line = [&] {
    out += line;
    out += "\r\n";
    line.clear();
    pending = false;
  };
  auto put = [&](char c) {
    if (c == '\n') {
      end_line();
    } else if (c != '\r') {
      line += c;
      pending = true;
    }
  };

  size_t i = 0;
  while (i < args.size()) {
    char c = args[i];
    if (is_blank(c)) {
      ++i;
    } else if (c == '"') {
      for (++i; i < args.size() && args[i] != '"'; ++i) {
        if (args[i] == '\\' && i + 1 < args.size()) {
          ++i;
        }
        put(args[i]);
      }
      ++i;  // the closing quote
    } else if (c == '\\' && i + 2 < args.size() && hex_digit(args[i + 1]) >= 0 &&
               hex_digit(args[i + 2]) >= 0) {
      put(static_cast<char>(hex_digit(args[i + 1]) * 16 + hex_digit(args[i + 2])));
      i += 3;
    } else {
      put(c);
      ++i;
    }
  }
  if (pending) {
    end_line();
  }
  return out;
}

std::string run_macro_body(std::string_view body) {
  std::string out;
  for (const std::string &command : split_commands(body)) {
    std::vector<std::string_view> words = split_words(command);
    if (!words.empty() && words[0] == "echo") {
      std::string_view args = std::string_view(command).substr(4);
      out += run_echo(args);
    }
  }
  return out;
}

std::string run_mac(target_state &target, std::string_view args) {
  args = trim(args);
  std::vector<std::string_view> words = split_words(args);
  if (words.size() == 2 && words[0] == "-d") {
    auto it = target.macros.find(words[1]);
    if (it != target.macros.end()) {
      target.macros.erase(it);
    }
    return {};
  }

  size_t eq = args.find('=');
  if (eq == std::string_view::npos) {
    return {};
  }
  std::string_view name = trim(args.substr(0, eq));
  if (name.empty() || name.find_first_of(" \t{}\"") != std::string_view::npos) {
    return {};
  }
  size_t open = eq + 1;
  while (open < args.size() && is_blank(args[open])) {
    ++open;
  }
  if (open >= args.size() || args[open] != '{') {
    return {};
  }
  std::string_view body;
  size_t after = 0;
  if (!braced_text(args, open, &body, &after) || !trim(args.substr(after)).empty()) {
    return {};
  }

  auto it = target.macros.find(name);
  if (it == target.macros.end() && target.macros.size() >= SIM_MAX_MACROS) {
    return "!ERROR: mac: macro table full\r\n";
  }
  target.macros[std::string(name)] = std::string(body);
  return {};
}
