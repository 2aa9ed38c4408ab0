#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/flash_card.h"
#include "run_state.h"
#include "platform/platform.h"

namespace {

using testing::ExitedWithCode;

// Enough for one entry to pass the checks.
const char kMinimal[] = "romident 1A\nbinname ctl.X\n";

class Reader : public testing::Test {
 protected:
  void SetUp() override {
    verboseflag = yak = quokka = marlin = programming_lan = init_r = 0;
    // Exactly the table's size on the heap: a write past it is caught by the
    // address sanitizer.
    table.reset(new product_config[MAX_CONFIG_ENTRIES]());
  }
  void TearDown() override { release_entries(0); }

  // The flash card's erase ranges of the first `count` entries, as the
  // programming sequence builds them when all of them are programmed.
  card_ranges card_of(int count) {
    std::vector<const product_config *> given;
    for (int i = 0; i < count; i++) {
      given.push_back(&table[i]);
    }
    return card_erase_ranges(given.data(), count);
  }

  // The nwire commands of the records from `first` on, which a read
  // overwrites.
  void release_entries(int first) {
    for (int i = first; i < MAX_CONFIG_ENTRIES; i++) {
      for (int j = 0; j < table[i].nwirecmd_count; j++) {
        free(table[i].nwirecmd[j]);
      }
      table[i].nwirecmd_count = 0;
    }
  }

  int read(const std::string &content, int count = 0, unsigned char local_flag = 0,
           const char *path = "test.cfg") {
    release_entries(count);
    FILE *f = tmpfile();
    if (!f) {
      ADD_FAILURE() << "no temporary file";
    }
    if (!f) {
      return -1;
    }
    fwrite(content.data(), 1, content.size(), f);
    rewind(f);
    return get_config_data(path, f, local_flag, table.get(), count);
  }

  std::unique_ptr<product_config[]> table;
};

// ---- Line syntax -------------------------------------------------------------

TEST_F(Reader, KeyAndValueSeparatorsAreEquivalent) {
  for (const char *line :
       {"romstart 0x123456\n", "romstart: 123456H\n", "romstart:123456\n", "romstart\t123456\n",
        "  romstart 123456 trailing words\n", "romstart 123456"}) {
    ASSERT_EQ(read(std::string(kMinimal) + line), 1) << line;
    EXPECT_EQ(table[0].romstart, 0x123456u) << line;
  }
}

TEST_F(Reader, QuotedValues) {
  struct {
    const char *line, *binname;
  } cases[] = {
      {"binname \"my image:X\"\n", "my image:X"},
      {"binname  \"my image.X\"\n", " "},  // the value starts right after the key's separator
      {"binname \"a#b\"\n", "a#b"},
      {"binname a#b\n", "a#b"},
      {"binname x.X # \"note\"\n", "x.X"},  // a quote inside a comment changes nothing
      {"binname \"open ended\n", "open ended"},
      // A CR before the line feed belongs to the line end.
      {"binname x.X\r\n", "x.X"},
      {"binname \"open ended\r\n", "open ended"},
      {"binname x\rX\n", "x\rX"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(read(std::string("romident 1\n") + c.line), 1) << c.line;
    EXPECT_STREQ(table[0].binname, c.binname) << c.line;
  }
}

TEST_F(Reader, CommentsUnknownKeysAndMissingValues) {
  testing::internal::CaptureStderr();
  int n = read(
      "# comment\n\n \t\n#romstart 9\nROMSTART 9\nromstarts 9\nromstart #9\nromident\nbinname:\n" +
      std::string(kMinimal));
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(n, 1);
  EXPECT_EQ(table[0].romstart, 0x280000u);
  EXPECT_EQ(table[0].romident_count, 1);
  EXPECT_EQ(err,
            "romupdate: No value for 'romstart': skipping\n"
            "romupdate: No value for 'romident': skipping\n"
            "romupdate: No value for 'binname': skipping\n");
}

TEST_F(Reader, LongHugeAndBinaryInput) {
  // A line over 1023 characters is read in pieces: the value is cut to the
  // field, and a key past the first piece still counts.
  ASSERT_EQ(read("romident 1\nbinname " + std::string(1500, 'v') + "\n" + std::string(1023, ' ') +
                 "romstart 42\n"),
            1);
  EXPECT_EQ(std::string(table[0].binname), std::string(79, 'v'));
  EXPECT_EQ(table[0].romstart, 0x42u);
  // A CR LF line end split between two pieces is still a line end.
  const size_t piece = static_cast<size_t>(plat_text().line_size) - 1;
  ASSERT_EQ(read("romident 1\n" + std::string(piece - 12, ' ') + "binname x.X\r\nromstart 42\n"),
            1);
  EXPECT_STREQ(table[0].binname, "x.X");
  EXPECT_EQ(table[0].romstart, 0x42u);

  std::string big;
  for (int i = 0; i < 20000; i++) {
    big += "# filler " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(read(big + kMinimal + big), 1);

  std::string binary;
  for (int i = 0; i < 5000; i++) {
    binary += static_cast<char>((i * 37) % 32 | (i & 1 ? 0x80 : 0));
  }
  binary.append("\0 romstart 1\n", 13);  // a zero byte hides the rest of its line
  ASSERT_EQ(read(binary + kMinimal), 1);
  EXPECT_EQ(table[0].romstart, 0x280000u);
}

// ---- Values ------------------------------------------------------------------

TEST_F(Reader, KeysStoreTheirFields) {
  ASSERT_EQ(
      read("genrev 415\nromidentloc 12345\nromident 1A\nromident zz\nromstart68 300000\nromsize68 "
           "80000\n"
           "romwidth68 8\nromwidth -4\npfname lib/x.X\nbin68 c.X\nvppvalue 12345\nvppmask 0x0F\n"
           "nwirecmd \"mm 1 2\"\nnwirecmd ww\nnoinitr x\nromsize zz\n"),
      1);
  const product_config &e = table[0];
  EXPECT_EQ(e.genrev, 415);
  EXPECT_EQ(e.romidentloc, 0x12345u);
  // A value that does not convert still takes an identifier slot.
  ASSERT_EQ(e.romident_count, 2);
  EXPECT_EQ(e.romident[0], 0x1Au);
  EXPECT_EQ(e.romident[1], 0u);
  EXPECT_EQ(e.romstart, 0x300000u);
  EXPECT_EQ(e.romsize, 0x80000u);
  EXPECT_EQ(e.romwidth, -4);
  EXPECT_STREQ(e.pfname, "lib/x.X");
  EXPECT_STREQ(e.binname, "c.X");
  EXPECT_EQ(e.vppctladdr, 0x12345u + 7);
  EXPECT_EQ(e.vppvalue, 0x2345);
  EXPECT_EQ(e.vppmask, 0x0F);
  ASSERT_EQ(e.nwirecmd_count, 2);
  EXPECT_STREQ(e.nwirecmd[0], "mm 1 2");
  EXPECT_STREQ(e.nwirecmd[1], "ww");
  EXPECT_EQ(e.initr, 0);
  EXPECT_EQ(init_r, 1);
}

TEST_F(Reader, TextsAndImageNames) {
  std::string long_path(300, 'p');
  ASSERT_EQ(read("romident 1\nbinname inst/update/abc.X\npfname lib/" + std::string(80, 'f') + "\n",
                 0, 1, long_path.c_str()),
            1);
  EXPECT_STREQ(table[0].binname, "abc.X");  // found here: the image is looked for here
  EXPECT_EQ(std::string(table[0].pfname), "lib/" + std::string(75, 'f'));
  EXPECT_EQ(std::string(table[0].config_name), std::string(79, 'p'));
  ASSERT_EQ(read("romident 1\nbinname inst/update/abc.X\n", 0, 0), 1);
  EXPECT_STREQ(table[0].binname, "inst/update/abc.X");
}

TEST_F(Reader, LanKeysOnlyForTheLanProduct) {
  const char *file =
      "romident 1\nbinname c.X\nromstart188 50000\nromsize188 20000\nromwidth188 8\nbin188 l.X\n";
  ASSERT_EQ(read(file), 1);
  EXPECT_EQ(table[0].lan_romstart, 0x40000u);
  EXPECT_STREQ(table[0].lan_binname, "");

  programming_lan = 1;
  ASSERT_EQ(read(file), 1);
  const product_config &e = table[0];
  EXPECT_EQ(e.lan_romstart, 0x50000u);
  EXPECT_EQ(e.lan_romsize, 0x20000u);
  EXPECT_EQ(e.lan_romwidth, 8);
  EXPECT_STREQ(e.lan_binname, "l.X");
  EXPECT_EQ(e.romidentloc, 0x97FFF0u);
  EXPECT_EQ(e.romstart, 0x900000u);
  EXPECT_STREQ(e.pfname, "lib/lpf.X");
}

TEST_F(Reader, ProcessorProbeKeepsNoVoltageControlAddress) {
  yak = 1;
  ASSERT_EQ(read("romidentloc 100\nromident 1\nbinname c.X\n"), 1);
  EXPECT_EQ(table[0].vppctladdr, 0xFFFFFFFFu);
  yak = 0;
  ASSERT_EQ(read("vppctladdr 42\nromident 1\nbinname c.X\n"), 1);
  EXPECT_EQ(table[0].vppctladdr, 0x42u);
}

// ---- Entries -----------------------------------------------------------------

TEST_F(Reader, NewflashAndOldflashSplitAFile) {
  ASSERT_EQ(read("romstart 300000\nromident 1\nbinname b.X\noldflash x\nromident 2\nbinname "
                 "a.X\nnewflash x\n"
                 "romident 3\nbinname c.X\nnoinitr y\n"),
            3);
  EXPECT_EQ(table[0].romstart, 0x300000u);
  EXPECT_EQ(table[0].for_38100b, 1);
  EXPECT_EQ(table[1].romstart, 0x280000u);  // a new entry starts from the defaults
  EXPECT_EQ(table[1].for_38100a, 1);
  EXPECT_EQ(table[2].for_38100a, 0);
  EXPECT_EQ(table[1].initr, 1);
  EXPECT_EQ(table[2].initr, 0);
  ASSERT_EQ(read(kMinimal, 3), 4);  // behind the entries already held
  EXPECT_STREQ(table[3].binname, "ctl.X");
}

TEST_F(Reader, FatalErrors) {
  std::string ids, cmds;
  for (int i = 0; i < 32; i++) {
    ids += "romident " + std::to_string(i + 1) + "\n";
    cmds += "nwirecmd c" + std::to_string(i) + "\n";
  }
  ASSERT_EQ(read(ids + cmds + "binname c.X\nnewflash x\n" + ids + "binname d.X\n"),
            2);  // limits per entry
  EXPECT_EQ(table[0].romident[31], 0x32u);
  EXPECT_STREQ(table[0].nwirecmd[31], "c31");

  EXPECT_EXIT(read(ids + "romident 33\nbinname c.X\n"), ExitedWithCode(1),
              "^romupdate: limit of 32 IDs exceeded\n$");
  EXPECT_EXIT(read(cmds + "nwirecmd more\n" + kMinimal), ExitedWithCode(1),
              "^romupdate: limit of 32 nwire commands exceeded\n$");
  EXPECT_EXIT(read(""), ExitedWithCode(1), "^romupdate: ID must be defined\n$");
  EXPECT_EXIT(read("# only comments\n"), ExitedWithCode(1), "ID must be defined");
  EXPECT_EXIT(read(std::string(kMinimal) + "newflash x\n"), ExitedWithCode(1),
              "ID must be defined");
  EXPECT_EXIT(read("romident 1\n"), ExitedWithCode(1),
              "^romupdate: Control binary name must be defined\n$");

  // A read error is not the end of the file.
  release_entries(0);
  if (FILE *dir = fopen(".", "r")) {
    EXPECT_EXIT(get_config_data("some.cfg", dir, 0, table.get(), 0), ExitedWithCode(1),
                "^romupdate: Can't read 'some.cfg'\n$");
    fclose(dir);
  }

  programming_lan = 1;
  EXPECT_EXIT(read(kMinimal), ExitedWithCode(1), "^romupdate: LAN binary name must be defined\n$");
  EXPECT_EXIT(read(kMinimal, 1), ExitedWithCode(1),
              "^\nProgramming of the 38126 product is incompatable with programming of\n"
              "other products, the 38126 must be the only product on the command line.\n\n$");
}

// ---- Entries that do not apply to the target ---------------------------------

TEST_F(Reader, QuokkaDropsEntriesForOtherBoards) {
  quokka = 1;
  // A dropped entry's record is reused, its nwire commands given back.
  ASSERT_EQ(read("romident 1\nbinname b.X\nromstart B00000\nnwirecmd dropped\n"
                 "newflash x\nromident 2\nbinname a.X\nromstart A00000\n"
                 "newflash x\nromident 3\nbinname x38231y.X\nromstart A80000\n"
                 "newflash x\nromident 4\nbinname keep.X\nromstart A80000\n"
                 "newflash x\nromident 5\nbinname plain.X\n"),
            2);
  EXPECT_STREQ(table[0].binname, "keep.X");
  EXPECT_STREQ(table[1].binname, "plain.X");
  // The window entry's flash is listed for erasing.
  ASSERT_EQ(card_of(2).size(), 1u);
  EXPECT_EQ(card_of(2)[0].start, 0x10040000u);

  for (const char *model : {"29415", "38206", "38218", "38223", "38231", "38235", "38239", "38244",
                            "38252", "38260", "38267"}) {
    EXPECT_EQ(read(std::string("romident 1\nromstart A80000\nbinname img") + model + ".X\n"), 0)
        << model;
  }

  // Without a quokka only the card's own addresses are dropped.
  quokka = 0;
  ASSERT_EQ(
      read("romident 1\nbinname card.X\nromstart 10000000\nnewflash x\nromident 2\nbinname rom.X\n"
           "romstart A80000\nnewflash x\nromident 3\nbinname high.X\nromstart 100FFFFF\n"),
      2);
  EXPECT_STREQ(table[0].binname, "rom.X");
  EXPECT_TRUE(card_of(2).empty());
}

TEST_F(Reader, WholeCardEntryTakesFirstPlace) {
  quokka = 1;
  ASSERT_EQ(read("romident 1\nbinname other.X\n"), 1);
  ASSERT_EQ(read("romident 2\nbinname part.X\nromstart 10080000\n"
                 "newflash x\nromident 3\nbinname whole.X\nromstart 10000000\nromsize 100000\n",
                 1),
            3);
  EXPECT_STREQ(table[0].binname, "whole.X");
  EXPECT_STREQ(table[1].binname, "part.X");
  EXPECT_STREQ(table[2].binname, "other.X");
}

TEST_F(Reader, EntriesPastTheTableAreCountedButNotKept) {
  quokka = verboseflag = 1;
  std::string file;
  for (int i = 0; i < 3; i++) {
    file += "newflash x\nromident 1\nbinname e" + std::to_string(i) +
            ".X\nnwirecmd \"nw x\"\nromstart 100" + std::to_string(i * 4) + "0000\n";
  }
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  ASSERT_EQ(read(file.substr(strlen("newflash x\n")), 7), 10);
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(table[7].binname, "e0.X");
  // Only the entry inside the table is printed and has its range listed.
  EXPECT_EQ(err.find("ROM identifier address"), err.rfind("ROM identifier address"));
  ASSERT_EQ(card_of(MAX_CONFIG_ENTRIES).size(), 1u);
  EXPECT_EQ(card_of(MAX_CONFIG_ENTRIES)[0].end, 0x1003FFFFu);

  verboseflag = 0;
  // A whole-card entry past the table never moves into it.
  ASSERT_EQ(read("romident 9\nbinname whole.X\nromstart 10000000\nromsize 100000\n", 8), 9);
  EXPECT_STREQ(table[0].binname, "");
  // Its errors are still reported, and the drop rules still apply.
  EXPECT_EXIT(read(std::string(kMinimal) + "newflash x\nbinname x.X\n", 8), ExitedWithCode(1),
              "ID must be defined");
  quokka = 0;
  EXPECT_EQ(read("romident 1\nbinname c.X\nromstart 10000000\n", 8), 8);
}

TEST_F(Reader, VerbosePrintOfAnEntry) {
  verboseflag = marlin = programming_lan = 1;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  ASSERT_EQ(read("genrev 305\nromident 1A\nromident 2b\nbinname c.X\nbin188 l.X\nvppvalue "
                 "0abc\nnewflash x\n" +
                     std::string(kMinimal) + "bin188 l.X\n",
                 0, 0, "dir/38126.cfg"),
            2);
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      out,
      "\nReading configuration from 'dir/38126.cfg'\n\nFound additional entry in config file\n");
  EXPECT_EQ(err.substr(0, err.find("System", 1)),
            "System firmware revision required = A.03.05\n"
            "ROM identifier address = 97FFF0H\n"
            "Required hardware identifier = 1AH, 2BH\n"
            "Control ROM start address = 900000H\n"
            "Control ROM size = 40000H\n"
            "Control ROM width = 16\n"
            "LAN ROM start address = 40000H\n"
            "LAN ROM size = 40000H\n"
            "LAN ROM width = 16\n"
            "Programming voltage control address = 97FFF7H\n"
            "Programming voltage control value = ABCH\n"
            "Programming voltage control mask = 0H\n");
}

}  // namespace
