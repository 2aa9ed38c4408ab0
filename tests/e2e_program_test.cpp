// Complete updates of every target class against the simulator, and the
// ways an update must fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "harness/harness.h"
#include "harness/scenarios.h"

using namespace e2e;

namespace {

std::vector<std::string> sim_options(std::vector<std::string> extra) {
  std::vector<std::string> o = {"--reboot-time", "0.2"};
  o.insert(o.end(), extra.begin(), extra.end());
  return o;
}

std::string image(const std::string &name) { return lib_image(name); }

// The commands of the last session (after the reboot), from the first
// debug macro on.
std::vector<std::string> programming_commands(const Sim &sim) {
  std::vector<std::string> all = sim.commands();
  auto it = std::find(all.begin(), all.end(), "mac enableXRdebug={}");
  if (it == all.end()) {
    return {};
  }
  return std::vector<std::string>(it + 1, all.end());
}

void expect_flash(Sim &sim, const std::string &img, bool exact = true) {
  sim.stop();
  std::string report;
  EXPECT_TRUE(flash_matches(img, sim.dump_path(), exact, &report)) << report;
}

bool has(const std::vector<std::string> &v, const std::string &s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// A pseudo-random image made with romupdate-abs.
std::string make_image(const TempDir &dir, const std::string &name, const std::string &address,
                       const std::string &size, const std::string &seed) {
  std::string path = dir.file(name);
  RunOptions o;
  o.program = abs_path();
  RunResult r = run({"make", "--address", address, "--random", size, "--seed", seed, path}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  return path;
}

}  // namespace

// Every target class, updated whole: the commands, the final wait, the
// flash, and what the operator is told along the way.
TEST(Program, EveryTargetClass) {
  struct Told {
    std::vector<std::string> out, err, not_err;
  };
  const std::map<std::string, Told> told = {
      {"A38100AWithTheLoader",
       {{"Downloading flash programming code: '" + image("npf.X") + "'\n"},
        {"Erasing Flash ROM at download\n",
         "Downloading and Flashing ROM code: '" + image("t5806a.X") +
             "'\n    Code start 280000H\n    Code size 10000H\n"},
        {}}},
      {"A38100BWithEraseProbes",
       {{},
        {"Erasing Flash ROM\n", "Skipping executable for 38100A\n"},
        {"Erasing Flash ROM at download"}}},
      {"ProcessorProbe", {{}, {"Programming voltage control address = FFFFFFFFH\n"}, {}}},
      {"LanCard",
       {{"Downloading ROM code: '" + image("l38126.X") +
         "'\n    Code start 40000H\n    Code size 4000H\n"},
        {},
        {}}},
      {"NwireBoxWithB",
       {{},
        {"Checking identy of nwire connected box\n", "Executable for 7710 checks OK\n\n",
         "Sending nwire commands from config file...\n"},
        {}}},
  };
  for (const Scenario &s : target_classes()) {
    SCOPED_TRACE(s.name);
    Sim sim(s.sim_options());
    RunResult r = run(s.arguments(sim.address()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Flash programming SUCCEEDED\n"));
    const Told &t = told.at(s.key);
    for (const std::string &text : t.out) {
      EXPECT_TRUE(contains(r.out, text)) << text << "\n" << r.out;
    }
    for (const std::string &text : t.err) {
      EXPECT_TRUE(contains(r.err, text)) << text << "\n" << r.err;
    }
    for (const std::string &text : t.not_err) {
      EXPECT_FALSE(contains(r.err, text)) << text;
    }
    EXPECT_EQ(programming_commands(sim), s.programming);
    if (s.final_wait == 0) {
      EXPECT_TRUE(r.sleeps.empty());
    } else {
      ASSERT_FALSE(r.sleeps.empty());
      EXPECT_EQ(r.sleeps.back(), s.final_wait);
    }
    sim.stop();
    for (const std::string &img : s.images) {
      std::string report;
      EXPECT_TRUE(flash_matches(image(img), sim.dump_path(), s.exact, &report)) << img << report;
    }
  }
}

TEST(Program, A38100BWholeCardFollowsTheQuokkaRule) {
  Sim sim(sim_options({"--target", "38100b"}));
  RunResult r = run({"-v", sim.address(), "T5850"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "WARNING:  Code start 100C0000H != ROM start 10000000H)\n"));
  EXPECT_EQ(programming_commands(sim),
            (std::vector<std::string>{
                "pf -a 010000000 040000",
                "pf -a 0100C0000 040000",
                "pf -p 02FFFF7 0FFFF 00 010000000 0100000 32 0100C0000 262144 0",
                "lcd -qfb 40000",
                "pf -f 010000000 32",
                "init -p",
            }));
  expect_flash(sim, image("t5850.X"));
}

TEST(Program, FlashCardKeepsWhatNoEntryWrites) {
  struct Case {
    std::string label, config;
    std::vector<std::string> sim;
    std::string kept;  // in flash before the run, and after it
  };
  TempDir dir;
  make_image(dir, "b.X", "10040000", "16K", "31");
  make_image(dir, "c.X", "10080000", "16K", "32");
  make_image(dir, "top.X", "100C0000", "16K", "33");
  std::string old_c = make_image(dir, "old-c.X", "10080000", "8K", "34");
  std::string last = make_image(dir, "last.X", "100FFFFF", "1", "35");
  std::vector<Case> cases = {
      // The second entry's hardware is not there: its range is not erased.
      {"skipped entry",
       "romident 38100B\nromstart 10040000\nbinname b.X\nnewflash yes\n"
       "romidentloc 2FFFF0\nromident 5806\nromstart 10080000\nbinname c.X\n",
       {"--hwid", "2FFFF0=1234", "--flash-image", old_c},
       old_c},
      // The entry ends one byte short of the card's end; that byte is in use.
      {"last byte",
       "romident 38100B\nromstart 100C0000\nromsize 3FFFF\nbinname top.X\n",
       {"--used", "100C0000-100C0FFF", "--flash-image", last},
       last},
  };
  for (const Case &c : cases) {
    dir.write("card.cfg", c.config);
    std::vector<std::string> o = {"--target", "38100b"};
    o.insert(o.end(), c.sim.begin(), c.sim.end());
    Sim sim(sim_options(o));
    RunOptions ro;
    ro.cwd = dir.path();
    RunResult r = run({"-v", sim.address(), "card"}, ro);
    EXPECT_EQ(r.status, 0) << c.label << "\n" << r.err;
    sim.stop();
    std::string report;
    EXPECT_TRUE(flash_matches(c.kept, sim.dump_path(), false, &report))
        << c.label << ": " << report;
  }
}

TEST(Program, ConfigurationFilesFromAnywhere) {
  struct Case {
    std::string label;
    std::map<std::string, std::string> files;  // in the current directory
    std::vector<std::string> args, sim, images;
  };
  TempDir dir;
  std::string mine = make_image(dir, "mine.X", "280000", "16K", "41");
  std::vector<Case> cases = {
      // One file beside us, one installed: each entry's image is looked for
      // where its own file was found.
      {"mixed",
       {{"MYBOARD.cfg", "romident 38100B\nromstart 280000\nbinname lib/mine.X\n"}},
       {"MYBOARD", "T5850"},
       {"--target", "38100b"},
       {mine, image("t5850.X")}},
      {"CR LF lines",
       {{"WINDOWS.cfg",
         "romidentloc: 2FFFF0\r\nromident 5806\r\nromstart 280000\r\nbinname mine.X\r\n"}},
       {"WINDOWS"},
       {"--target", "38100a", "--hwid", "2FFFF0=5806"},
       {mine}},
  };
  for (const Case &c : cases) {
    for (const auto &[name, content] : c.files) {
      dir.write(name, content);
    }
    Sim sim(sim_options(c.sim));
    RunOptions o;
    o.cwd = dir.path();
    std::vector<std::string> args = {"-v", sim.address()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run(args, o);
    EXPECT_EQ(r.status, 0) << c.label << "\n" << r.out << r.err;
    sim.stop();
    for (const std::string &img : c.images) {
      std::string report;
      EXPECT_TRUE(flash_matches(img, sim.dump_path(), false, &report))
          << c.label << ": " << img << ": " << report;
    }
  }
}

TEST(Program, NwireIdentityMismatchSkipsTheEntry) {
  Sim sim(sim_options({"--target", "38100a", "--register", "2ffff7=5A"}));
  RunResult r = run({"-v", "-b", sim.address(), "T7710"});
  // The only entry was skipped: nothing was programmed, and no finishing
  // command of another entry may go out.
  auto cmds = programming_commands(sim);
  EXPECT_FALSE(has(cmds, "lcd -qfb 4000"));
  for (auto &c : cmds) {
    EXPECT_NE(c.rfind("pf -f", 0), 0u) << c;
  }
  EXPECT_TRUE(contains(r.err, "Skipping executable for 7710\n\n"));
}

TEST(Program, HardwareCheckFailureListsTheIdentifiers) {
  Sim sim(sim_options({"--target", "38100a", "--hwid", "2FFFF0=1234"}));
  RunResult r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(
      r.err, romupdate_path() +
                 ": Hardware ID 5806 or 5807 required--this system contains 1234\n"
                 "\nHardware required for this update is either not installed or has failed\n\n"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n"));
  EXPECT_FALSE(has(sim.commands(), "lcd -qfb 10000"));
  EXPECT_EQ(sim.commands().back(), "init -p");
}

TEST(Program, MissingFlashOptionCard) {
  Sim sim(sim_options({"--target", "38100a"}));
  RunResult r = run({sim.address(), "38163"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, romupdate_path() +
                                  ": Hardware ID FF20 or FF21 required--this system contains 0H\n"
                                  "\nA flash ROM option card is required for this update\n"
                                  "Either it is not installed, or it has failed\n\n"))
      << r.err;
}

TEST(Program, OptionCardOnA38100BIsTranslated) {
  Sim sim(sim_options({"--target", "38100b"}));
  RunResult r = run({sim.address(), "38163"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto cmds = programming_commands(sim);
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds[0], "pf -o 0F5C0000");
  for (auto &c : cmds) {
    EXPECT_NE(c.rfind("pf -i", 0), 0u);
  }
  expect_flash(sim, image("t38163.X"));
}

TEST(Faults, DownloadStatusFailureIsAFailedRun) {
  Sim sim(sim_options({"--target", "38100a", "--hwid", "2FFFF0=5806", "--download-status", "0@2"}));
  RunResult r = run({"-v", sim.address(), "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n"));
  EXPECT_FALSE(contains(r.err + r.out, "SUCCEEDED"));
  EXPECT_FALSE(has(sim.commands(), "pf -f 0280000 16"));
}

TEST(Faults, DroppedDownloadIsAFailedRun) {
  for (const char *at : {"0@2", "1000@2", "65000@2"}) {
    Sim sim(
        sim_options({"--target", "38100a", "--hwid", "2FFFF0=5806", "--download-drop-after", at}));
    RunResult r = run({"-v", sim.address(), "T5806"}, {.timeout = 60});
    EXPECT_FALSE(r.timed_out) << at;
    EXPECT_EQ(r.status, 1) << at;
    EXPECT_EQ(r.term_signal, 0) << at;
    EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n")) << at;
    EXPECT_FALSE(contains(r.err + r.out, "SUCCEEDED")) << at;
  }
}

TEST(Faults, MessageLinesInTheReplies) {
  struct Case {
    std::string rule;
    bool fails;
    std::string shown = "";  // what the operator sees of the line, when not the line itself
  };
  // Any message line fails the programming command.  The finishing command
  // may go unanswered, but an error it draws means the flash is not good.
  // A target's control bytes reach the terminal as text, never as what
  // they would do there: move the cursor up, erase the line, print a result
  // of their own, conceal what follows, set the window title.
  for (const Case &c : {
           Case{"pf -p=!flash voltage low", true},
           Case{"pf -f=!ERROR: flash verify failed", true},
           Case{"pf -f=!flash verified", false},
           Case{"pf -p=!\x1b[1A\x1b[2KFlash programming SUCCEEDED\x1b[8m", true,
                "!\\x1B[1A\\x1B[2KFlash programming SUCCEEDED\\x1B[8m"},
           Case{"pf -p=checksum ok\x1b]0;update done\x07\2332J", false,
                "checksum ok\\x1B]0;update done\\x07\\x9B2J"},
       }) {
    Sim sim(sim_options({"--target", "38100a", "--hwid", "2FFFF0=5806", "--message", c.rule}));
    RunResult r = run({"-v", sim.address(), "T5806"});
    std::string text = c.rule.substr(c.rule.find('=') + 1);
    EXPECT_EQ(r.status, c.fails ? 1 : 0) << c.rule << "\n" << r.err;
    EXPECT_TRUE(
        contains(r.err, c.fails ? "Flash programming FAILED\n" : "Flash programming SUCCEEDED\n"))
        << c.rule;
    // A message line is shown when it fails the run; with -v an ordinary
    // reply line always is.
    EXPECT_EQ(contains(r.err, (c.shown.empty() ? text : c.shown) + "\n"), c.fails || text[0] != '!')
        << c.rule << "\n"
        << r.err;
    EXPECT_FALSE(contains(r.err, "\x1b") || contains(r.err, "\x07") || contains(r.err, "\x9b"))
        << r.err;
    EXPECT_EQ(has(sim.commands(), "lcd -qfb 10000"), c.rule.rfind("pf -f", 0) == 0 || !c.fails)
        << c.rule;
  }
}

TEST(Faults, BrokenImagesAreRefusedBeforeTheReboot) {
  TempDir dir;
  std::string good = read_file(image("t5806a.X"));
  dir.write("t5806b.X", read_file(image("t5806b.X")));
  struct Case {
    std::string name, content, message;
    bool exists = true;
  };
  // Records of 250 bytes: the second one starts at offset 28 + 258.
  const std::string zero_word("\x00\x00", 2);
  const std::string wrapping = good.substr(0, 28) +
                               std::string("\x00\x01\x00\x20\xFF\xF0\xFF\xFF", 8) +
                               std::string(32, '\x5A');
  std::vector<Case> cases = {
      {"empty", "", "empty.X: shorter than the 28-byte header"},
      {"header", good.substr(0, 28), "No data records in"},
      {"cut", good.substr(0, 33), "Can't read"},
      {"bigcount", good.substr(0, 30) + std::string("\x00\xFB", 2) + good.substr(32), "Can't read"},
      {"oversized", good, "ERROR:  Code size 10000H > Rom size 8000H\n"},
      {"missing", "", "Can't read '", false},
      {"zeroword", good.substr(0, 286) + zero_word + good.substr(288),
       "zeroword.X: record at offset 286 has a zero lead word"},
      {"leadword", good + std::string("\x00\x01", 2), "is cut off inside its 8-byte head"},
      {"wrapping", wrapping,
       "wrapping.X: record at offset 28 at FFFFFFF0 runs past address FFFFFFFF"},
  };
  // On a 38100B the file's first entry goes to the flash card, whose range is
  // in use; a 38100A drops that entry.  Either way a bad image of any entry
  // ends the run before the target has been told to do anything.
  for (const char *target : {"38100a", "38100b"}) {
    Sim sim(
        sim_options({"--target", target, "--hwid", "2FFFF0=5806", "--used", "10040000-1007FFFF"}));
    for (auto &c : cases) {
      if (c.exists) {
        dir.write(c.name + ".X", c.content);
      }
      dir.write(c.name + ".cfg",
                "romident 38100B\nromstart 10040000\nbinname t5806b.X\nnewflash yes\n"
                "romidentloc 2FFFF0\nromident 5806\nromstart 280000\nromsize 8000\nbinname " +
                    c.name + ".X\n");
      RunOptions o;
      o.cwd = dir.path();
      RunResult r = run({"-v", sim.address(), c.name}, o);
      EXPECT_EQ(r.status, 1) << target << " " << c.name;
      EXPECT_TRUE(contains(r.err, c.message)) << target << " " << c.name << ": " << r.err;
    }
    std::vector<std::string> commands = sim.commands();
    for (const char *changing : {"init", "pf -a", "pf -e", "pf -p", "pf -i", "lcd"}) {
      for (auto &cmd : commands) {
        EXPECT_NE(cmd.rfind(changing, 0), 0u) << target << ": " << cmd;
      }
    }
    // The lock was given back each time.
    EXPECT_EQ(count_of(read_file(sim.log_path()), "mac -d lockinfo"),
              static_cast<int>(cases.size()))
        << target;
  }
}

// A target reads the record stream as it comes and waits for a byte that is
// missing.  Images that existing tools write (a last record without its
// fill byte, or an end of records of their own) reach it as it reads them.
TEST(Program, ImagesAreSentAsTheTargetReadsThem) {
  TempDir dir;
  // Seven bytes at 280000: lead word, count, address low word first.
  const std::string odd = std::string("\x00\x01\x00\x07\x00\x00\x00\x28", 8) + "romcode";
  const std::string header(28, '\xEE');
  struct Case {
    std::string name, content;
  };
  const std::vector<Case> cases = {
      {"nofill", header + odd},
      {"ownend",
       header + odd + std::string("\x00\x00\x00", 3)},  // fill byte, then a zero lead word
  };
  for (const Case &c : cases) {
    Sim sim(sim_options({"--target", "38100a", "--hwid", "2FFFF0=5806", "--strict-stream"}));
    dir.write(c.name + ".X", c.content);
    dir.write(c.name + ".cfg",
              "romidentloc 2FFFF0\nromident 5806\nromstart 280000\nbinname " + c.name + ".X\n");
    RunOptions o;
    o.cwd = dir.path();
    o.timeout = 15;  // a stream one byte short leaves both ends waiting
    RunResult r = run({sim.address(), c.name}, o);
    EXPECT_FALSE(r.timed_out) << c.name;
    EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
    auto cmds = programming_commands(sim);
    ASSERT_GE(cmds.size(), 2u) << c.name;
    EXPECT_EQ(cmds[cmds.size() - 2], "pf -f 0280000 16")
        << c.name;  // not preceded by stray zero bytes
    expect_flash(sim, dir.file(c.name + ".X"));
  }
}

// The image sent is the image checked before the reboot.  One that is
// replaced or rewritten while the target reboots is refused before the card
// is probed or erased, and the card keeps what it held.
TEST(Faults, ImageChangedAfterItsCheckIsRefused) {
  TempDir dir;
  std::string kept = make_image(dir, "kept.X", "10040000", "16K", "51");
  make_image(dir, "card.X", "10040000", "16K", "52");
  make_image(dir, "other.X", "10040000", "16K", "53");  // the same size and place
  dir.write("card.cfg", "romident 38100B\nromstart 10040000\nbinname card.X\n");
  struct Case {
    std::string label, change, what;
  };
  const std::vector<Case> cases = {
      {"replaced by a rename", "cp other.X new.X && mv new.X card.X",
       "its name now names another file"},
      {"rewritten in place", "cat other.X > card.X", "it was written to"},
  };
  for (const Case &c : cases) {
    Sim sim(sim_options({"--target", "38100b", "--flash-image", kept}));
    RunOptions o;
    o.cwd = dir.path();
    o.env["FASTSLEEP_FIRST"] = "cd '" + dir.path() + "' && " + c.change;
    RunResult r = run({"-v", sim.address(), "card"}, o);
    EXPECT_EQ(r.status, 1) << c.label << "\n" << r.err;
    EXPECT_FALSE(r.sleeps.empty()) << c.label;  // the change came after the reboot
    EXPECT_TRUE(contains(r.err, "Image 'card.X' changed since it was checked (" + c.what + ")"))
        << c.label << "\n"
        << r.err;
    for (const std::string &cmd : programming_commands(sim)) {
      for (const char *changing : {"pf -a", "pf -e", "pf -p", "lcd"}) {
        EXPECT_NE(cmd.rfind(changing, 0), 0u) << c.label << ": " << cmd;
      }
    }
    sim.stop();
    std::string report;
    EXPECT_TRUE(flash_matches(kept, sim.dump_path(), false, &report)) << c.label << ": " << report;
    make_image(dir, "card.X", "10040000", "16K", "52");  // back as it was checked
  }
}

// An image that fits its ROM's size but not its addresses would write over
// what the run keeps: on a 38100B, the part of the card in use below the
// entry's ROM.  It is refused before anything changes.
TEST(Faults, ImageOutsideItsRomIsRefused) {
  TempDir dir;
  std::string kept = make_image(dir, "kept.X", "1003C000", "16K", "61");
  make_image(dir, "low.X", "1003F000", "8K", "62");
  dir.write("low.cfg", "romident 38100B\nromstart 10040000\nromsize 40000\nbinname low.X\n");
  Sim sim(
      sim_options({"--target", "38100b", "--used", "10000000-1003FFFF", "--flash-image", kept}));
  RunOptions o;
  o.cwd = dir.path();
  RunResult r = run({"-v", sim.address(), "low"}, o);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err,
                       "Image 'low.X' does not fit its ROM at 10040000H to 1007FFFFH: "
                       "the record at offset 28 writes 1003F000H to 1003F0F9H\n"))
      << r.err;
  EXPECT_FALSE(contains(r.err + r.out, "SUCCEEDED"));
  for (const std::string &cmd : sim.commands()) {
    for (const char *changing : {"init", "pf -e", "pf -p", "lcd"}) {
      EXPECT_NE(cmd.rfind(changing, 0), 0u) << cmd;
    }
  }
  sim.stop();
  std::string report;
  EXPECT_TRUE(flash_matches(kept, sim.dump_path(), false, &report)) << report;
}
