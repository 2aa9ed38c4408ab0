#include "formats/trace/trace_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(TraceFormat, TextReadsBackByteForByte) {
  struct {
    std::string raw, escaped;
  } cases[] = {
      {"ver", "ver"},
      {"a\tb\r\n", "a\\x09b\\x0D\\x0A"},
      {std::string("\x06\x00\x01\xFF", 4), "\\x06\\x00\\x01\\xFF"},
      // The marker macro's "\0A" stays readable; only a backslash that would
      // read as an escape is escaped itself.
      {"echo \\0A", "echo \\0A"},
      {"\\x41", "\\x5Cx41"},
      {"end\\", "end\\"},
  };
  for (auto &c : cases) {
    EXPECT_EQ(trace_escape(c.raw), c.escaped);
    std::string back;
    ASSERT_TRUE(trace_unescape(c.escaped, back)) << c.escaped;
    EXPECT_EQ(back, c.raw);
  }
  std::string out;
  EXPECT_FALSE(trace_unescape("\\x4", out));
  EXPECT_FALSE(trace_unescape("\\xG1", out));
}

TEST(TraceFormat, PieceWiseEscapingNeverSplitsAnEscape) {
  char out[7];
  size_t used = 0;
  size_t n = trace_escape_some("ab\x01\x02", 4, out, sizeof out, &used);
  EXPECT_EQ(std::string(out, n), "ab\\x01");
  EXPECT_EQ(used, 3u);
}

TEST(TraceFormat, LineStartAndHeader) {
  char line[64];
  trace_line_start(line, sizeof line, 3, 12045, "cmd");
  EXPECT_STREQ(line, "3\t12.045\tcmd\t");
  char header[256];
  trace_header_text(header, sizeof header, "romupdate", "1.0.0", "unix", 0);
  EXPECT_STREQ(header,
               "format=2 program=romupdate version=1.0.0 platform=unix start=1970-01-01T00:00:00Z");
}

TEST(TraceFormat, ReaderRefusesWhatIsNotATraceOfItsFormat) {
  const std::string head =
      "0\t0.000\ttrace\tformat=2 program=romupdate version=1 platform=unix start=x\n";
  struct {
    std::string contents;
    const char *error;  // nullptr: accepted
  } cases[] = {
      {head + "1\t0.010\tcmd\tver\n1\t0.020\treply\tR$\n", nullptr},
      {head + "1\t0.010\tfuture\twhatever\n", nullptr},
      {"", "not a trace"},
      {"hello world\n", "not a trace"},
      {"0\t0.000\tcmd\tformat=1 program=x\n", "not a trace"},
      {head + "1\t0.010\tcmd\tve", "cut off: line 2"},
      {head + "1\t0.010\tcmd\n", "line 2: not four"},
      {head + "x\t0.010\tcmd\tver\n", "line 2: bad session"},
      {head + "1\tnan\tcmd\tver\n", "line 2: bad time"},
      {head + "1\tinf\tcmd\tver\n", "line 2: bad time"},
      {head + "1\t1e308\tcmd\tver\n", "line 2: bad time"},
      {head + "1\t-0.5\tcmd\tver\n", "line 2: bad time"},
      {"0\t0.000\ttrace\tformat=3 program=romupdate\n", "format 3 is newer"},
      // An older trace still reads.
      {"0\t0.000\ttrace\tformat=1 program=romupdate\n1\t0.010\tcmd\tver\n", nullptr},
  };
  for (auto &c : cases) {
    trace_header header;
    std::vector<trace_record> events;
    std::string error;
    bool ok = trace_parse(c.contents, header, events, error);
    if (!c.error) {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_FALSE(ok) << c.contents;
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

}  // namespace
