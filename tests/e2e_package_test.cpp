// The Debian package: built with cpack from this build tree into a scratch
// directory, checked by lintian, unpacked with dpkg -x into a scratch root,
// and used from there: the programs start, the manual pages render, the
// completion, the documents and the sample installation are in place, and
// the unpacked programs rehearse a complete update with the unpacked sample
// installation, once by hand and once as the shipped operator's guide says.
//
// One test, so that one cpack runs at a time in the build tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "harness/harness.h"
#include "romupdate_version.h"

namespace {

namespace fs = std::filesystem;
using e2e::contains;
using e2e::RunOptions;
using e2e::RunResult;

RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      RunOptions o = {}) {
  o.program = program;
  o.fast_sleep = false;
  if (o.timeout == 60) {
    o.timeout = 120;
  }
  return e2e::run(args, o);
}

bool have(const std::string &command) {
  return std::system(("command -v " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// Whether `command` can be had; installs the Debian package of that name
// when it is missing and this is a root shell with apt-get.  Empty when it
// can, else why not.
std::string tool_missing(const std::string &command, const std::string &package) {
  if (have(command)) {
    return {};
  }
  if (geteuid() != 0 || !have("apt-get")) {
    return "'" + command + "' is missing (Debian package " + package +
           ") and cannot be installed here";
  }
  const std::string install = "apt-get install -y " + package + " >/dev/null 2>&1";
  if (std::system((install + " || (apt-get update >/dev/null 2>&1 && " + install + ")").c_str()) !=
          0 ||
      !have(command)) {
    return "apt-get could not install " + package;
  }
  return {};
}

// The shell blocks of the guide's rehearsal that practise on the sample
// installation, in order, as one script: the copy of a real installation
// is left out, and the simulator gets the test's own address.  An operator waits for the
// simulator's "listening" line before going on; the script waits a second.
std::string rehearsal_script(const std::string &guide, const std::string &address) {
  size_t begin = guide.find("## Rehearse before you touch hardware");
  size_t end = guide.find("### Rehearse failures too");
  if (begin == std::string::npos || end == std::string::npos) {
    return {};
  }
  std::string script = "trap 'kill $(jobs -p) 2>/dev/null' EXIT\nset -x\n";
  for (std::string block : e2e::code_blocks(guide.substr(begin, end - begin), "sh")) {
    if (contains(block, "/usr/xr52000")) {
      continue;
    }
    for (size_t at; (at = block.find("127.0.0.2")) != std::string::npos;) {
      block.replace(at, 9, address);
    }
    script += block;
    if (contains(block, "romupdate-sim ")) {
      script += "sleep 1\n";
    }
  }
  return script;
}

TEST(Package, DebianPackageHoldsAWorkingInstallation) {
  for (const char *tool : {"dpkg", "dpkg-deb"}) {
    if (!have(tool)) {
      GTEST_SKIP() << tool << " is missing: not a Debian system";
    }
  }

  e2e::TempDir scratch;
  const std::string out = scratch.file("out"), root = scratch.file("root");

  // Build and unpack.
  RunOptions in_build;
  in_build.cwd = ROMUPDATE_BUILD_DIR;
  RunResult cpack = run_program(
      ROMUPDATE_CPACK,
      {"-G", "DEB", "-B", out, "--config", std::string(ROMUPDATE_BUILD_DIR) + "/CPackConfig.cmake"},
      in_build);
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  std::vector<std::string> debs;
  for (auto &entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") {
      debs.push_back(entry.path().string());
    }
  }
  ASSERT_EQ(debs.size(), 1u) << cpack.out;
  const std::string deb = debs[0];

  RunResult fields = run_program("/usr/bin/dpkg-deb", {"-f", deb, "Package", "Version", "Depends",
                                                       "Recommends", "Maintainer"});
  ASSERT_EQ(fields.status, 0) << fields.err;
  EXPECT_TRUE(contains(fields.out, "Package: romupdate\n")) << fields.out;
  EXPECT_TRUE(contains(fields.out, std::string("Version: ") + romupdate_version + "\n"))
      << fields.out;
  EXPECT_TRUE(contains(fields.out, "libc6")) << fields.out;
  EXPECT_TRUE(contains(fields.out, "parallel"))
      << "romupdate-fleet needs GNU parallel: " << fields.out;
  EXPECT_TRUE(
      contains(fields.out, "Maintainer: romupdate developers <maintainers@romupdate.invalid>\n"))
      << fields.out;
  // apt installs what loads the completion along with the package.
  EXPECT_TRUE(contains(fields.out, "Recommends: bash-completion\n")) << fields.out;

  {
    SCOPED_TRACE("lintian finds no error");
    if (std::string why = tool_missing("lintian", "lintian"); !why.empty()) {
      ADD_FAILURE() << why;
    } else {
      RunResult lint = run_program("/bin/sh", {"-c", "exec lintian --fail-on error \"$0\"", deb});
      EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
      EXPECT_FALSE(contains("\n" + lint.out, "\nE: ")) << lint.out;
    }
  }

  RunResult unpack = run_program("/usr/bin/dpkg", {"-x", deb, root});
  ASSERT_EQ(unpack.status, 0) << unpack.err;
  const std::string usr = root + "/usr";

  {
    SCOPED_TRACE("the programs start");
    RunResult usage = run_program(usr + "/bin/romupdate", {"-?"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_TRUE(contains(usage.out, "Usage: " + usr + "/bin/romupdate [-v] <ip address>"))
        << usage.out;
    RunResult sim = run_program(usr + "/bin/romupdate-sim", {"--help"});
    EXPECT_EQ(sim.status, 0) << sim.err;
    EXPECT_TRUE(contains(sim.out, "--dump-flash FILE")) << sim.out;
    RunResult abs = run_program(usr + "/bin/romupdate-abs", {"--help"});
    EXPECT_EQ(abs.status, 0) << abs.err;
    EXPECT_TRUE(contains(abs.out, "verify [--exact] IMAGE DUMP")) << abs.out;
    for (const char *tool :
         {"romupdate-sim", "romupdate-abs", "romupdate-unlock", "romupdate-inventory"}) {
      RunResult version = run_program(usr + "/bin/" + tool, {"--version"});
      EXPECT_EQ(version.out, std::string(tool) + " " + romupdate_version + "\n") << version.err;
    }
  }

  {
    SCOPED_TRACE("the documents Debian wants, and the operator's guide");
    const std::string doc = usr + "/share/doc/romupdate/";
    EXPECT_TRUE(contains(e2e::read_file(doc + "copyright"),
                         "Format: https://www.debian.org/doc/packaging-manuals/"));
    // The package's version is the changelog's latest.
    RunResult changelog =
        run_program("/bin/sh", {"-c", "exec gzip -dc \"$0\" | head -1", doc + "changelog.gz"});
    EXPECT_EQ(changelog.out.substr(0, changelog.out.find(')') + 1),
              std::string("romupdate (") + romupdate_version + ")")
        << changelog.out;
    RunResult guide =
        run_program("/bin/sh", {"-c", "exec gzip -dc \"$0\"", doc + "operators-guide.md.gz"});
    for (const char *section : {"## Configuration files", "## Rehearse before you touch hardware",
                                "## When a target stays locked", "## Updating a fleet"}) {
      EXPECT_TRUE(contains(guide.out, section)) << section;
    }
    EXPECT_FALSE(contains(guide.out, "## Building and testing"));
    // The guide speaks of the installed package, never of a source tree,
    // and every installed path it names is in the package.
    for (const char *source_only : {"build/", "scripts/", "source tree", "<!--"}) {
      EXPECT_FALSE(contains(guide.out, source_only)) << source_only;
    }
    for (const char *path : {"/usr/share/doc/romupdate/examples/xr52000",
                             "/usr/share/bash-completion/completions/romupdate"}) {
      EXPECT_TRUE(contains(guide.out, path)) << path;
      EXPECT_TRUE(fs::exists(root + path)) << path;
    }
    for (const char *program : {"romupdate", "romupdate-sim", "romupdate-abs", "romupdate-unlock",
                                "romupdate-inventory", "romupdate-fleet"}) {
      EXPECT_TRUE(contains(guide.out, std::string("`") + program + "`")) << program;
      EXPECT_TRUE(fs::exists(usr + "/bin/" + program)) << program;
    }
    // The Windows ZIP's text agrees with the README on the exit status, and
    // tells how to trace on Windows.
    auto words = [](std::string text) {
      std::string out;
      for (char c : text) {
        if (c == '\r') {
          continue;
        }
        if (c == '\n' || c == ' ') {
          if (!out.empty() && out.back() != ' ') {
            out += ' ';
          }
        } else {
          out += c;
        }
      }
      return out;
    };
    const std::string readme = words(e2e::read_file(ROMUPDATE_SOURCE_DIR "/README.md"));
    const std::string zip_text =
        words(e2e::read_file(ROMUPDATE_SOURCE_DIR "/packaging/windows/README.txt"));
    for (const char *said : {"0 when the programming sequence ran to its end",
                             "so 0 does not mean that every entry named was programmed",
                             "set ROMUPDATE_TRACE=field.trace", "romupdate-inventory"}) {
      EXPECT_TRUE(contains(readme, said)) << said;
      EXPECT_TRUE(contains(zip_text, said)) << said;
    }
    EXPECT_FALSE(contains(zip_text, "every product was programmed"));
  }

  {
    SCOPED_TRACE("the completion registers every command");
    const std::string dir = usr + "/share/bash-completion/completions/";
    for (const char *name : {"romupdate", "romupdate-sim", "romupdate-abs", "romupdate-fleet",
                             "romupdate-unlock", "romupdate-inventory"}) {
      std::error_code ec;
      EXPECT_TRUE(fs::equivalent(dir + name, dir + "romupdate", ec))
          << name << ": " << ec.message();
      // A bash without bash-completion, as the guide's ~/.bashrc line
      // loads it.
      RunResult loaded =
          run_program("/bin/bash", {"--norc", "--noprofile", "-c",
                                    std::string(". '") + dir + name +
                                        "' && complete -p romupdate romupdate-sim romupdate-abs "
                                        "romupdate-fleet romupdate-unlock romupdate-inventory"});
      EXPECT_EQ(loaded.status, 0) << name << ": " << loaded.err;
      EXPECT_EQ(e2e::count_of(loaded.out, "complete -F"), 6) << loaded.out;
    }
  }

  // The sample installation: every configuration file, and every image and
  // loader they name.
  const std::string examples = usr + "/share/doc/romupdate/examples/xr52000";
  for (const char *name :
       {"T5806.cfg", "T5821.cfg", "T5850.cfg", "T7710.cfg", "38126.cfg", "38163.cfg"}) {
    EXPECT_TRUE(fs::is_regular_file(examples + "/inst/update/" + name)) << name;
  }
  for (const char *name : {"npf.X", "lpf.X", "t5806a.X", "t5806b.X", "t5821.X", "t5850.X",
                           "t38126.X", "l38126.X", "t38163.X", "t7710.X"}) {
    EXPECT_TRUE(fs::is_regular_file(examples + "/lib/" + name)) << name;
  }

  {
    SCOPED_TRACE("a rehearsal with nothing but the package");
    // The operator's copy of the installation, as the rehearsal describes.
    const std::string copy = scratch.file("xr52000");
    fs::copy(examples, copy, fs::copy_options::recursive);
    const std::string address = e2e::reserve_loopback();
    const std::string log = scratch.file("transcript.log"), dump = scratch.file("flash.X");
    const std::string sim_out = scratch.file("sim.out");
    std::vector<std::string> sim_args = {usr + "/bin/romupdate-sim",
                                         "--address",
                                         address,
                                         "--reboot-time",
                                         "0.3",
                                         "--log",
                                         log,
                                         "--dump-flash",
                                         dump};
    child_process::Child sim({.args = sim_args, .out_file = sim_out, .err_file = sim_out});
    ASSERT_TRUE(sim.started());
    for (int i = 0; i < 250 && !contains(e2e::read_file(sim_out), "listening on"); ++i) {
      usleep(20000);
    }
    ASSERT_TRUE(contains(e2e::read_file(sim_out), "listening on")) << e2e::read_file(sim_out);

    RunOptions o;
    o.env["XR52000"] = copy;
    o.program = usr + "/bin/romupdate";
    RunResult update = e2e::run({"-v", address, "T5806"}, o);
    sim.stop();  // writes the last flash dump
    EXPECT_EQ(update.status, 0) << update.out << update.err;
    EXPECT_TRUE(contains(update.err, "Flash programming SUCCEEDED")) << update.out << update.err;
    EXPECT_TRUE(contains(e2e::read_file(log), "\tcmd\tlcd -qfb 10000\n")) << e2e::read_file(log);
    RunResult verify = run_program(usr + "/bin/romupdate-abs",
                                   {"verify", "--exact", copy + "/lib/t5806b.X", dump});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  }

  // The fleet command lists what it would run with the unpacked romupdate
  // (GNU parallel comes from the system, as the package's dependency).
  const bool have_parallel = have("parallel");
  if (have_parallel) {
    SCOPED_TRACE("romupdate-fleet --dry-run");
    scratch.write("targets.txt", "# lab 2\nbench7\nbench8\n");
    RunOptions o;
    o.cwd = scratch.path();
    o.env["PATH"] = usr + "/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    RunResult dry =
        run_program(usr + "/bin/romupdate-fleet", {"--dry-run", "-v", "targets.txt", "T5806"}, o);
    EXPECT_EQ(dry.status, 0) << dry.out << dry.err;
    EXPECT_TRUE(contains(dry.out, "would update 2 targets")) << dry.out;
    EXPECT_TRUE(
        contains(dry.out, "\nromupdate -v bench8 T5806 2>&1 && echo romupdate-fleet:updated\n"))
        << dry.out;
    RunResult version = run_program(usr + "/bin/romupdate-fleet", {"--version"});
    EXPECT_EQ(version.out, std::string("romupdate-fleet ") + romupdate_version + "\n");
  }

  {
    SCOPED_TRACE("the operator's guide's rehearsal, word for word, with the unpacked package");
    RunResult guide = run_program("/bin/sh", {"-c", "exec gzip -dc \"$0\"",
                                              usr + "/share/doc/romupdate/operators-guide.md.gz"});
    const std::string script = rehearsal_script(guide.out, e2e::reserve_loopback());
    ASSERT_TRUE(contains(script, "romupdate -v ")) << guide.out;
    const std::string home = scratch.file("home");
    fs::create_directory(home);
    RunOptions o;
    o.program = "/bin/bash";
    o.timeout = 120;
    o.env["HOME"] = home;
    o.env["PATH"] = usr + "/bin:/usr/bin:/bin";
    o.env["XR52000"] = "";  // no real installation on this machine
    o.env["sample"] = usr + "/share/doc/romupdate/examples/xr52000";
    // Long enough per second for the simulator's 3-second reboot to pass
    // within romupdate's 60 reconnection attempts.
    o.env["FASTSLEEP_MS"] = "100";
    RunResult r = e2e::run({"-c", script}, o);
    EXPECT_EQ(r.status, 0) << script << r.out << r.err;
    // The 38100B of the rehearsal, then one of each other class.
    EXPECT_EQ(e2e::count_of(r.err, "Flash programming SUCCEEDED"), 3) << r.err;
    EXPECT_EQ(e2e::count_of(r.out, "exit status 0\n"), 3) << r.out;
    EXPECT_TRUE(contains(r.err, "Mainframe is a 38100A\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Mainframe is a processor probe\n")) << r.err;
    // The inventory of the rehearsal's target, before the update.
    EXPECT_TRUE(contains(r.out,
                         "  38100B  A.03.10   XR 38100B Emulation System / System firmware "
                         "A.03.10\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "match: 65536 bytes\n")) << r.out << r.err;
  }

  // Last, since it may be skipped: each manual page renders without a
  // warning from the formatter.
  if (std::string why = tool_missing("man", "man-db"); !why.empty()) {
    GTEST_SKIP() << "manual pages not rendered: " << why;
  }
  for (const char *page : {"romupdate", "romupdate-sim", "romupdate-abs", "romupdate-fleet",
                           "romupdate-unlock", "romupdate-inventory"}) {
    std::string path = usr + "/share/man/man1/" + page + ".1";
    if (!fs::exists(path)) {
      path += ".gz";
    }
    ASSERT_TRUE(fs::exists(path)) << page;
    RunOptions o;
    o.env["LC_ALL"] = "C";
    o.env["MANWIDTH"] = "80";
    o.env["MANPAGER"] = "cat";
    o.env["PAGER"] = "cat";
    RunResult man = run_program("/bin/sh", {"-c", "exec man --warnings -l \"$0\"", path}, o);
    EXPECT_EQ(man.status, 0) << page << ": " << man.err;
    EXPECT_EQ(man.err, "") << page;
    EXPECT_TRUE(contains(man.out, "NAME")) << page;
    EXPECT_TRUE(contains(man.out, page)) << page << ":\n" << man.out;
  }
  if (!have_parallel) {
    GTEST_SKIP() << "romupdate-fleet not tried: GNU parallel (Debian package parallel) is missing";
  }
}

}  // namespace
