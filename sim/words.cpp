#include "words.h"

#include <cmath>
#include <cstdlib>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() &&
         (is_blank(text.front()) || text.front() == '\r' || text.front() == '\n')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (is_blank(text.back()) || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) {
      ++i;
    }
    size_t start = i;
    while (i < text.size() && !is_blank(text[i])) {
      ++i;
    }
    if (i > start) {
      words.push_back(text.substr(start, i - start));
    }
  }
  return words;
}

std::optional<uint32_t> parse_hex32(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    int d = hex_digit(c);
    if (d < 0) {
      return std::nullopt;
    }
    value = value * 16 + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFu) {
      return std::nullopt;
    }
  }
  return static_cast<uint32_t>(value);
}

std::optional<unsigned long> parse_decimal(std::string_view text) {
  if (text.empty() || text.size() > 18) {
    return std::nullopt;
  }
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value;
}

std::optional<double> parse_seconds(std::string_view text) {
  if (text.empty() || text.size() > 32) {
    return std::nullopt;
  }
  std::string copy(text);
  char *end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

bool quote_state::outside(std::string_view text, size_t *i) {
  char c = text[*i];
  if (quoted) {
    if (c == '\\' && *i + 1 < text.size()) {
      ++*i;
    } else if (c == '"') {
      quoted = false;
    }
    return false;
  }
  if (c == '"') {
    quoted = true;
    return false;
  }
  return true;
}

std::vector<std::string> split_commands(std::string_view line) {
  std::vector<std::string> commands;
  int depth = 0;
  quote_state quotes;
  size_t start = 0;
  auto take = [&](size_t end) {
    std::string_view command = trim(line.substr(start, end - start));
    if (!command.empty()) {
      commands.emplace_back(command);
    }
  };
  for (size_t i = 0; i < line.size(); ++i) {
    if (!quotes.outside(line, &i)) {
      continue;
    }
    char c = line[i];
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth > 0) {
        --depth;
      }
    } else if (c == ';' && depth == 0) {
      take(i);
      start = i + 1;
    }
  }
  take(line.size());
  return commands;
}
