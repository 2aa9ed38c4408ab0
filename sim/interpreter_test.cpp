#include "interpreter.h"

#include <gtest/gtest.h>

#include "macros.h"

namespace {

const std::string kMarker =
    "mac lockinfo={echo \"user: 1000\" \\0A \"userinterface: 4 (gateway)\" \\0A \"host name: h\" "
    "\\0A  }";

std::string reply(target_state &t, std::string_view command) {
  return run_command(t, command).reply;
}

}  // namespace

TEST(LockMarker, ProbeDefineProbeRelease) {
  target_state t;
  EXPECT_EQ(reply(t, "lockinfo"), "");  // free target: the probe draws no line
  EXPECT_EQ(reply(t, kMarker), "");
  EXPECT_EQ(reply(t, "lockinfo"), "user: 1000\r\nuserinterface: 4 (gateway)\r\nhost name: h\r\n");
  EXPECT_EQ(reply(t, "mac -d lockinfo"), "");
  EXPECT_EQ(reply(t, "lockinfo"), "");
}

TEST(LockMarker, ForeignLockAndReboot) {
  target_state t;
  t.lock_by_other();
  EXPECT_EQ(reply(t, "lockinfo"),
            "user: 4242\r\nuserinterface: 1 (terminal)\r\nhost name: bench7\r\n");
  t.reboot(false);
  EXPECT_EQ(reply(t, "lockinfo"), "");
  t.reboot(true);
  EXPECT_EQ(reply(t, "lockinfo"),
            "user: 4242\r\nuserinterface: 1 (terminal)\r\nhost name: bench7\r\n");
}

TEST(Macros, DefinitionsThatDoNotParseDefineNothing) {
  target_state t;
  for (const char *bad : {"mac x", "mac ={echo \"a\"}", "mac x={echo \"a\"", "mac x=echo",
                          "mac x={echo \"a\"} y", "mac a b={echo \"a\"}"}) {
    EXPECT_EQ(reply(t, bad), "") << bad;
  }
  EXPECT_TRUE(t.macros.empty());
  EXPECT_EQ(reply(t, "mac enableXRdebug={}"), "");
  EXPECT_EQ(reply(t, "enableXRdebug"), "");
  EXPECT_EQ(t.macros.size(), 1u);
  // Redefinition replaces; only echo in a body shows.
  EXPECT_EQ(reply(t, "mac mm={ver;echo \"x\"}"), "");
  EXPECT_EQ(reply(t, "mac mm = {echo \"y\";init -r}"), "");
  command_outcome o = run_command(t, "mm");
  EXPECT_EQ(o.reply, "y\r\n");
  EXPECT_EQ(o.what, command_outcome::action::none);
}

TEST(Macros, TableIsBounded) {
  target_state t;
  for (size_t i = 0; i < SIM_MAX_MACROS; ++i) {
    EXPECT_EQ(reply(t, "mac m" + std::to_string(i) + "={}"), "");
  }
  EXPECT_EQ(reply(t, "mac one_too_many={}"), "!ERROR: mac: macro table full\r\n");
  EXPECT_EQ(reply(t, "mac m0={echo \"still redefinable\"}"), "");
}

TEST(Echo, TextEscapesAndLineEnds) {
  EXPECT_EQ(run_echo(""), "");
  EXPECT_EQ(run_echo(" \"a\" \\0A"), "a\r\n");
  EXPECT_EQ(run_echo("\"a\" \"b\" \\0A \"c\""),
            "ab\r\nc\r\n");  // text after the last \0A is a line
  EXPECT_EQ(run_echo("\"a\\\"b\" \\0A"), "a\"b\r\n");
  EXPECT_EQ(run_echo("\"x;{y}\"\\0A\\0A"), "x;{y}\r\n\r\n");
  EXPECT_EQ(run_echo("\\41\\0D\\0A"), "A\r\n");
  EXPECT_EQ(run_echo("word \\0"), "word\\0\r\n");  // a short escape is plain text
  EXPECT_EQ(run_echo("\"unterminated"), "unterminated\r\n");
}

TEST(Prompt, SwitchesOnlyOnTheExactForms) {
  target_state t;
  EXPECT_EQ(t.prompt, '>');
  run_command(t, "po -p $");
  EXPECT_EQ(t.prompt, '$');
  run_command(t, "po -p #");
  run_command(t, "po -p");
  EXPECT_EQ(t.prompt, '$');
  run_command(t, "  po   -p   >  ");
  EXPECT_EQ(t.prompt, '>');
  t.prompt = '$';
  t.reboot(false);
  EXPECT_EQ(t.prompt, '>');
}

TEST(Commands, VersionIdentifierAndRegister) {
  target_state t;
  t.version_lines = {"XR 38100 Series Emulation System", "System firmware A.03.10"};
  t.hwids[0x2FFFF0] = "5806";
  t.registers[0x2FFFF7] = 0xA5;
  EXPECT_EQ(reply(t, "ver"), "XR 38100 Series Emulation System\r\nSystem firmware A.03.10\r\n");
  EXPECT_EQ(reply(t, "pf -i 02FFFF0"), "5806\r\n");
  EXPECT_EQ(reply(t, "pf -i 2ffff0"), "5806\r\n");
  EXPECT_EQ(reply(t, "pf -i 07FFF0"), "0\r\n");
  EXPECT_EQ(reply(t, "m -a2 -d2 2ffff7"), "2ffff7 00a5\r\n");
  EXPECT_EQ(reply(t, "m -a2 -d2 10"), "10 0000\r\n");
  // Accepted, recorded, silent.
  for (const char *quiet :
       {"lanlk -e", "lanlk -d", "rst", "b", "m -a4 -d4 0a6c@reg=70087b3f", "pf -o 0F5C0000",
        "pf -p 0FFFFFFFF 00 00 0280000 040000 16 0280000 65536 0", "pf -f 0280000 16",
        "pf -b 0 020000", "nw -s 1", "init", "lcd -x 10"}) {
    command_outcome o = run_command(t, quiet);
    EXPECT_EQ(o.reply, "") << quiet;
    EXPECT_EQ(o.what, command_outcome::action::none) << quiet;
  }
}

TEST(Commands, RebootAndDownloadAreActions) {
  target_state t;
  EXPECT_EQ(run_command(t, "init -r").what, command_outcome::action::reboot);
  EXPECT_EQ(run_command(t, "init -p").what, command_outcome::action::reboot);
  command_outcome f = run_command(t, "lcd -qfb 40000");
  EXPECT_EQ(f.what, command_outcome::action::download);
  EXPECT_TRUE(f.flash);
  EXPECT_EQ(f.count, 0x40000u);
  command_outcome r = run_command(t, "lcd -qb 0");
  EXPECT_EQ(r.what, command_outcome::action::download);
  EXPECT_FALSE(r.flash);
  EXPECT_EQ(r.count, 0u);
  for (const char *bad : {"lcd -qfb", "lcd -qfb XYZ", "lcd -qb 1 2", "lcd -qfb 100000000"}) {
    command_outcome o = run_command(t, bad);
    EXPECT_EQ(o.what, command_outcome::action::none) << bad;
    EXPECT_EQ(o.reply, "!ERROR: lcd: bad byte count\r\n") << bad;
  }
}

TEST(Flash, AvailabilityCountsDataAndUsedAreas) {
  target_state t;
  const uint8_t byte = 0x5A;
  t.flash.write(0x10040010, &byte, 1);
  t.used.push_back({0x10080000, 0x1008FFFF});
  EXPECT_EQ(reply(t, "pf -a 010000000 040000"), "Available\r\n");
  EXPECT_EQ(reply(t, "pf -a 010040000 010"), "Available\r\n");
  EXPECT_EQ(reply(t, "pf -a 010040000 011"), "Used\r\n");
  EXPECT_EQ(reply(t, "pf -a 010040010 01"), "Used\r\n");
  EXPECT_EQ(reply(t, "pf -a 01007FFFF 2"), "Used\r\n");  // last byte touches the used area
  EXPECT_EQ(reply(t, "pf -a 010040010 0"), "Available\r\n");
  EXPECT_EQ(reply(t, "pf -a 0FFFFFFFF 0FFFFFFFF"), "Available\r\n");  // clipped, no wrap
  EXPECT_EQ(reply(t, "pf -a 010000000"), "");
}

TEST(Flash, EraseKeepsTheListedAreasOnly) {
  target_state t;
  std::vector<uint8_t> data(0x100, 0xEE);
  for (uint32_t a : {0x0FFFFF00u, 0x10000000u, 0x10040000u, 0x100FFF00u, 0x10100000u}) {
    t.flash.write(a, data.data(), data.size());
  }
  t.used = {{0x10080000, 0x1008FFFF}, {0x100FF000, 0x1010FFFF}};
  t.flash_changed = false;

  EXPECT_EQ(reply(t, "pf -e 010040000 040000 010080000 08000"), "Erasing flash\r\n");
  EXPECT_TRUE(t.flash_changed);
  EXPECT_FALSE(t.in_use(0x10000000, 0x1003FFFF));       // erased
  EXPECT_TRUE(t.flash.any_in(0x10040000, 0x100400FF));  // kept pair
  EXPECT_TRUE(t.in_use(0x10080000, 0x10087FFF));        // kept part of a used area
  EXPECT_FALSE(t.in_use(0x10088000, 0x100FFFFF));  // erased part of it, and the data at the top
  EXPECT_TRUE(t.flash.any_in(0x0FFFFF00, 0x0FFFFFFF));  // outside the region: untouched
  EXPECT_TRUE(t.flash.any_in(0x10100000, 0x101000FF));
  EXPECT_TRUE(t.in_use(0x10100000, 0x10100000));  // used area beyond the region survives

  EXPECT_EQ(reply(t, "pf -e"), "Erasing flash\r\n");
  EXPECT_FALSE(t.in_use(FLASH_REGION_START, FLASH_REGION_END));
}

TEST(Flash, MalformedEraseListErasesNothing) {
  target_state t;
  const uint8_t byte = 1;
  t.flash.write(0x10000000, &byte, 1);
  EXPECT_EQ(reply(t, "pf -e 010040000"), "!ERROR: pf -e: incomplete range list\r\n");
  EXPECT_EQ(reply(t, "pf -e 010040000 04000G"), "!ERROR: pf -e: bad range list\r\n");
  EXPECT_TRUE(t.flash.any_in(0x10000000, 0x10000000));
}
