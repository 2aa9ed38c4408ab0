#include "gtw/visible.h"

#include <gtest/gtest.h>

#include <string>

TEST(VisibleText, ControlBytesAreShownAndTheRestPasses) {
  struct {
    std::string in, out;
  } cases[] = {
      {"pf -p done", "pf -p done"},
      {"", ""},
      {"a\tb", "a\tb"},
      // Cursor up, erase the line, a fake result, concealed text.
      {"\x1b[1A\x1b[2KFlash programming SUCCEEDED\x1b[8m",
       "\\x1B[1A\\x1B[2KFlash programming SUCCEEDED\\x1B[8m"},
      // An OSC window title, ended by BEL, or all in one-byte C1 controls
      // (octal 235 is OSC, 0x9D; 0x9C the string terminator).
      {"\x1b]0;owned\x07", "\\x1B]0;owned\\x07"},
      {"\2350;owned\x9c", "\\x9D0;owned\\x9C"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"\x7f\x80\x9f", "\\x7F\\x80\\x9F"},
      // Above the C1 set: ordinary text, UTF-8 included.
      {"\xa0\xff caf\xc3\xa9", "\xa0\xff caf\xc3\xa9"},
      // The line end stays; a line feed or carriage return inside does not.
      {"line\r\n", "line\r\n"},
      {"line\n", "line\n"},
      {"a\nb\rc\n", "a\\x0Ab\\x0Dc\n"},
      {"line\r", "line\\x0D"},
      {"\r\n\r\n", "\\x0D\\x0A\r\n"},
      // A backslash is text like any other.
      {"C:\\x1B", "C:\\x1B"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(visible_text(c.in), c.out) << c.in;
  }
}
