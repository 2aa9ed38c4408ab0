#include "options.h"

#include <gtest/gtest.h>

#include "scenario.h"

namespace {

bool parse(std::vector<const char *> args, sim_options &o, std::string *error = nullptr) {
  args.insert(args.begin(), "romupdate-sim");
  std::string e;
  bool ok = parse_options(static_cast<int>(args.size()), args.data(), o, e);
  if (error) {
    *error = e;
  }
  return ok;
}

}  // namespace

TEST(Options, Defaults) {
  sim_options o;
  ASSERT_TRUE(parse({}, o));
  EXPECT_EQ(o.address, "127.0.0.1");
  EXPECT_EQ(o.port, 3810);
  EXPECT_EQ(o.reboot_time, 3.0);
  EXPECT_FALSE(o.locked || o.come_back_locked || o.never_return || o.help);
  EXPECT_EQ(o.version_lines,
            (std::vector<std::string>{"XR 38100B Emulation System", "System firmware A.03.10"}));
}

TEST(Options, TargetPresetsAndVersionText) {
  struct {
    const char *target;
    std::vector<std::string> lines;
  } cases[] = {
      {"probe", {"XR T5821 processor probe", "Firmware revision A.03.10"}},
      {"38100b", {"XR 38100B Emulation System", "System firmware A.03.10"}},
      {"38100a", {"XR 38100 Series Emulation System", "System firmware A.03.10"}},
      {"unknown", {"XR emulation system", "System firmware A.01.00"}},
  };
  for (auto &c : cases) {
    sim_options o;
    ASSERT_TRUE(parse({"--target", c.target}, o)) << c.target;
    EXPECT_EQ(o.version_lines, c.lines) << c.target;
  }
  sim_options o;
  ASSERT_TRUE(parse({"--version-text", "A 38100 B box\\nrev 1", "--target", "probe"}, o));
  EXPECT_EQ(o.version_lines, (std::vector<std::string>{"A 38100 B box", "rev 1"}));
  sim_options real_newline;
  ASSERT_TRUE(parse({"--version-text=one\ntwo"}, real_newline));
  EXPECT_EQ(real_newline.version_lines, (std::vector<std::string>{"one", "two"}));
}

TEST(Options, ValuesAndRepeats) {
  sim_options o;
  ASSERT_TRUE(parse({"--address",
                     "127.0.20.7",
                     "--port=4000",
                     "--reboot-time",
                     "0.2",
                     "--locked",
                     "--message",
                     "pf -p=!flash voltage low",
                     "--message",
                     "ver=!a=b",
                     "--close-at",
                     "m -a4 -d4 0a6c@reg=70087b3f",
                     "--hang-at",
                     "pf -i@2",
                     "--hwid",
                     "2FFFF0=5806",
                     "--register",
                     "2ffff7=A5",
                     "--used",
                     "10000000-1000FFFF",
                     "--download-status",
                     "0@2",
                     "--download-drop-after",
                     "1000",
                     "--log",
                     "t.log",
                     "--strict-stream",
                     "--reject",
                     "po -p $@2=!ERROR: po: no",
                     "--reject",
                     "lcd=!ERROR: a=b",
                     "--message-flood",
                     "ver=300"},
                    o));
  EXPECT_TRUE(o.strict_stream);
  ASSERT_EQ(o.rejections.size(), 2u);
  EXPECT_EQ(o.rejections[0].command, "po -p $");
  EXPECT_EQ(o.rejections[0].nth, 2u);
  EXPECT_EQ(o.rejections[1].command, "lcd");
  EXPECT_EQ(o.rejections[1].nth, 0u);
  EXPECT_EQ(o.rejections[1].text, "!ERROR: a=b");
  ASSERT_EQ(o.floods.size(), 1u);
  EXPECT_EQ(o.floods[0].command, "ver");
  EXPECT_EQ(o.floods[0].number, 300u);
  EXPECT_EQ(o.address, "127.0.20.7");
  EXPECT_EQ(o.port, 4000);
  EXPECT_EQ(o.reboot_time, 0.2);
  EXPECT_TRUE(o.locked);
  ASSERT_EQ(o.messages.size(), 2u);
  EXPECT_EQ(o.messages[0].command, "pf -p");
  EXPECT_EQ(o.messages[0].text, "!flash voltage low");
  EXPECT_EQ(o.messages[1].text, "!a=b");
  // An "@" that is not followed by a count belongs to the command.
  ASSERT_EQ(o.close_at.size(), 1u);
  EXPECT_EQ(o.close_at[0].command, "m -a4 -d4 0a6c@reg=70087b3f");
  EXPECT_EQ(o.close_at[0].nth, 1u);
  EXPECT_EQ(o.hang_at[0].command, "pf -i");
  EXPECT_EQ(o.hang_at[0].nth, 2u);
  EXPECT_EQ(o.hwids.at(0x2FFFF0), "5806");
  EXPECT_EQ(o.registers.at(0x2FFFF7), 0xA5u);
  EXPECT_EQ(o.used[0].end, 0x1000FFFFu);
  EXPECT_EQ(o.download_status[0].value, 0u);
  EXPECT_EQ(o.download_status[0].nth, 2u);
  EXPECT_EQ(o.download_drop_after[0].value, 1000u);
  EXPECT_EQ(o.download_drop_after[0].nth, 0u);
  EXPECT_EQ(o.log_path, "t.log");
}

TEST(Options, BadInputIsRefusedWithAReason) {
  for (std::vector<const char *> args :
       std::vector<std::vector<const char *>>{{"--bogus"},
                                              {"--port"},
                                              {"--port", "65535"},
                                              {"--port", "0"},
                                              {"--address", "localhost"},
                                              {"--target", "38100c"},
                                              {"--reboot-time", "-1"},
                                              {"--reboot-time", "soon"},
                                              {"--message", "=x"},
                                              {"--message", "ver"},
                                              {"--close-at", "ver@0"},
                                              {"--close-at", "@2"},
                                              {"--hwid", "xyz=1"},
                                              {"--register", "10=zz"},
                                              {"--used", "2000-1000"},
                                              {"--used", "1000"},
                                              {"--download-status", "256"},
                                              {"--download-status", "1@0"},
                                              {"--download-drop-after", "x"},
                                              {"--locked=yes"},
                                              {"--strict-stream=yes"},
                                              {"--reject", "lcd"},
                                              {"--reject", "lcd@0=!x"},
                                              {"--reject", "@2=!x"},
                                              {"--message-flood", "ver"},
                                              {"--message-flood", "ver=0"}}) {
    sim_options o;
    std::string error;
    EXPECT_FALSE(parse(args, o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(Scenario, CountsEachRuleOverTheWholeRun) {
  sim_options o;
  ASSERT_TRUE(parse({"--close-at", "pf -i@2", "--hang-at", "pf@4", "--message", "pf -i=!one",
                     "--message", "pf=!two", "--control-message", "ver=!ctl"},
                    o));
  scenario s(o);
  EXPECT_EQ(s.count_command("pf -i 02FFFF0"), scenario::verdict::answer);
  EXPECT_EQ(s.count_command("ver"), scenario::verdict::answer);
  EXPECT_EQ(s.count_command("pf -i 02FFFF0"), scenario::verdict::close);
  EXPECT_EQ(s.count_command("pf -i 02FFFF0"), scenario::verdict::answer);  // only the 2nd
  EXPECT_EQ(s.count_command("pf -p 0"), scenario::verdict::hang);          // 4th "pf"
  EXPECT_EQ(s.reply_lines("pf -i 0"), "!one\r\n!two\r\n");
  EXPECT_EQ(s.reply_lines("pf -p"), "!two\r\n");
  EXPECT_EQ(s.reply_lines(" pf"), "");
  EXPECT_EQ(s.control_lines("ver"), "!ctl\r\n");
}

TEST(Scenario, RejectionsAndFloodsPickTheirCommands) {
  sim_options o;
  ASSERT_TRUE(parse({"--reject", "po -p $@2=!ERROR: second", "--reject", "lcd=!ERROR: no room",
                     "--message-flood", "ver=5", "--message-flood", "v=2"},
                    o));
  scenario s(o);
  EXPECT_EQ(s.rejection("po -p $"), std::nullopt);
  EXPECT_EQ(s.rejection("po -p >"), std::nullopt);  // not counted
  EXPECT_EQ(s.rejection("po -p $"), "!ERROR: second\r\n");
  EXPECT_EQ(s.rejection("po -p $"), std::nullopt);
  EXPECT_EQ(s.rejection("lcd -qfb 10000"), "!ERROR: no room\r\n");
  EXPECT_EQ(s.rejection("lcd -qb 1000"), "!ERROR: no room\r\n");
  EXPECT_EQ(s.flood_lines("ver"), 7u);
  EXPECT_EQ(s.flood_lines("pf -i"), 0u);
}

TEST(Scenario, DownloadRulesPickTheirDownload) {
  sim_options o;
  ASSERT_TRUE(parse(
      {"--download-status", "0@2", "--download-status", "7", "--download-drop-after", "10@3"}, o));
  scenario s(o);
  EXPECT_EQ(s.start_download(), 1u);
  EXPECT_EQ(s.forced_status(1), 7);
  EXPECT_EQ(s.forced_status(2), 0);
  EXPECT_EQ(s.drop_after(2), std::nullopt);
  EXPECT_EQ(s.drop_after(3), 10u);
}
