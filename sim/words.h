// Small text helpers shared by the simulator's parsers: trimming, word
// splitting, hexadecimal numbers, and the splitting of one received line into
// the commands it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string_view trim(std::string_view text);
bool starts_with(std::string_view text, std::string_view prefix);

// Words separated by blanks and tabs.
std::vector<std::string_view> split_words(std::string_view text);

// The value of one hexadecimal digit of either case, or -1.
int hex_digit(char c);
// A 32-bit hexadecimal number: digits of either case, an optional "0x"
// prefix, nothing else.  Leading zeros are allowed ("010000000").
std::optional<uint32_t> parse_hex32(std::string_view text);
// A decimal number that fits in unsigned long.
std::optional<unsigned long> parse_decimal(std::string_view text);
// Seconds as a non-negative decimal fraction ("0.2", "3").
std::optional<double> parse_seconds(std::string_view text);

// Follows double quotes through a text one character at a time; inside
// them a backslash carries the next character along.
struct quote_state {
  bool quoted = false;
  // Whether text[*i] stands outside double quotes and is not one itself.
  // An escaped character inside quotes is stepped over (*i moves past it).
  bool outside(std::string_view text, size_t *i);
};

// Splits a command line at ";".  A ";" inside "{...}" (nested braces count)
// or inside double quotes does not separate; a backslash inside quotes keeps
// the next character from closing them.  Each command is trimmed; empty
// commands are left out.
std::vector<std::string> split_commands(std::string_view line);
