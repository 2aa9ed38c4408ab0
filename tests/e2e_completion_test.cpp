// The bash completion: the file is sourced into a plain bash, the words of a
// command line are put into COMP_WORDS as bash splits them, and the function
// registered for the command fills COMPREPLY.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "harness/harness.h"

namespace {

using e2e::RunOptions;
using e2e::RunResult;
using e2e::TempDir;
using words_t = std::vector<std::string>;

// Calls the function bound to words[0] the way bash does, with the cursor
// at the end of the last word; the preamble runs first (after sourcing).
const char *const driver = R"(
source "$1" || exit 3
eval "$2"
shift 2
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
binding=$(complete -p "$1") || exit 4
function=${binding#*-F }
function=${function%% *}
COMPREPLY=()
"$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}"
)";

// A scratch installation and current directory.
class Completion : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *name :
         {"T5806.cfg", "T5850.cfg", "38163.cfg", "UPPER.CFG", "ab.c.cfg", "notes.txt"}) {
      tmp.write("root/inst/update/" + std::string(name), "");
    }
    mkdir(tmp.file("root/inst/update/folder.cfg").c_str(), 0755);
    for (const char *name :
         {"T5806.cfg", "local.cfg", "x.cfg.cfg", "README", "sub/deep.cfg", "sub/other.txt"}) {
      tmp.write("cwd/" + std::string(name), "");
    }
    tmp.write("hosts", "192.0.2.17 bench7\n192.0.2.18 bench8 lab9\n");
  }

  // The completions, in the order COMPREPLY holds them.
  words_t complete(const words_t &words, const std::string &preamble = "") {
    RunOptions o;
    o.program = "/bin/bash";
    o.fast_sleep = false;
    o.cwd = tmp.file("cwd");
    o.env["XR52000"] = tmp.file("root");
    o.env["HOSTFILE"] = tmp.file("hosts");
    o.timeout = 20;
    words_t args = {"-c", driver, "bash", ROMUPDATE_COMPLETION, preamble};
    args.insert(args.end(), words.begin(), words.end());
    RunResult r = e2e::run(args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    words_t out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      out.push_back(line);
    }
    return out;
  }

  words_t sorted(words_t v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  TempDir tmp;
};

TEST_F(Completion, RomupdateOptionsOnlyBeforeTheAddress) {
  EXPECT_EQ(complete({"romupdate", "-"}), (words_t{"-v", "-b", "-?"}));
  EXPECT_EQ(complete({"romupdate", "-vb", "-"}), (words_t{"-v", "-b", "-?"}));
  EXPECT_EQ(complete({"romupdate", "-v", "-b"}), (words_t{"-b"}));
  // After the first operand the options have ended: "-" starts a
  // configuration name, of which there is none.
  EXPECT_EQ(complete({"romupdate", "bench7", "-"}), words_t{});
  EXPECT_EQ(complete({"romupdate", "--", "-"}), words_t{});
}

TEST_F(Completion, RomupdateAddressIsAHostName) {
  EXPECT_EQ(sorted(complete({"romupdate", "-v", "ben"})), (words_t{"bench7", "bench8"}));
  EXPECT_EQ(complete({"romupdate", "la"}), words_t{"lab9"});
  // No configuration names in the address position.
  EXPECT_EQ(complete({"romupdate", "T58"}), words_t{});
}

TEST_F(Completion, RomupdateConfigurationNames) {
  // Both directories, without the suffix romupdate appends itself, sorted
  // and without duplicates.  UPPER.CFG and x.cfg.cfg keep their suffix:
  // "UPPER" would be tried as UPPER.cfg, "x.cfg" would be used unchanged.
  const words_t all = {"38163", "T5806", "T5850", "UPPER.CFG", "ab.c", "local", "x.cfg.cfg"};
  EXPECT_EQ(complete({"romupdate", "bench7", ""}), all);
  EXPECT_EQ(complete({"romupdate", "-v", "bench7", "T5806", ""}), all);
  EXPECT_EQ(complete({"romupdate", "bench7", "T5"}), (words_t{"T5806", "T5850"}));
  EXPECT_EQ(complete({"romupdate", "bench7", "lo"}), words_t{"local"});

  // The root gets its "/" when it has none.
  std::string root = tmp.file("root");
  EXPECT_EQ(complete({"romupdate", "bench7", "T"}, "XR52000=" + root + "/"),
            (words_t{"T5806", "T5850"}));
  EXPECT_EQ(complete({"romupdate", "bench7", "T"}, "XR52000=" + root), (words_t{"T5806", "T5850"}));
}

TEST_F(Completion, RomupdateWithoutXr52000UsesTheDefaultRoot) {
  // The default root is /usr/xr52000/; whatever it holds, the scratch root
  // must not show up, and the current directory still does.
  for (const char *preamble : {"unset XR52000", "XR52000="}) {
    words_t got = complete({"romupdate", "bench7", ""}, preamble);
    EXPECT_NE(std::find(got.begin(), got.end(), "local"), got.end()) << preamble;
    EXPECT_EQ(std::find(got.begin(), got.end(), "T5850"), got.end()) << preamble;
    EXPECT_EQ(std::find(got.begin(), got.end(), "UPPER.CFG"), got.end()) << preamble;
  }
}

TEST_F(Completion, RomupdateNameWithADirectoryIsAFileName) {
  EXPECT_EQ(complete({"romupdate", "bench7", "sub/"}), words_t{"sub/deep.cfg"});
}

TEST_F(Completion, SimulatorOptionsAndValues) {
  EXPECT_EQ(complete({"romupdate-sim", "--ta"}), words_t{"--target"});
  EXPECT_EQ(sorted(complete({"romupdate-sim", "--d"})),
            (words_t{"--download-drop-after", "--download-message", "--download-status",
                     "--dump-flash"}));
  EXPECT_EQ(complete({"romupdate-sim", "--target", ""}),
            (words_t{"probe", "38100b", "38100a", "unknown"}));
  // "--target=38" as bash splits it at "=", and as one word.
  EXPECT_EQ(complete({"romupdate-sim", "--target", "=", "38"}), (words_t{"38100b", "38100a"}));
  EXPECT_EQ(complete({"romupdate-sim", "--target", "="}),
            (words_t{"probe", "38100b", "38100a", "unknown"}));
  EXPECT_EQ(complete({"romupdate-sim", "--target=p"}), words_t{"--target=probe"});
  EXPECT_EQ(sorted(complete({"romupdate-sim", "--log", "l"})), words_t{"local.cfg"});
  EXPECT_EQ(complete({"romupdate-sim", "--dump-flash", "=", "R"}), words_t{"README"});
  EXPECT_EQ(complete({"romupdate-sim", "--reboot-time", ""}), words_t{});
  EXPECT_EQ(complete({"romupdate-sim", "--address", "127.0.0.2", "--l"}),
            (words_t{"--locked", "--log"}));
}

TEST_F(Completion, AbsToolCommandsOptionsAndFiles) {
  EXPECT_EQ(complete({"romupdate-abs", ""}),
            (words_t{"info", "make", "verify", "dump", "--help", "--version"}));
  EXPECT_EQ(complete({"romupdate-abs", "ve"}), words_t{"verify"});
  EXPECT_EQ(complete({"romupdate-abs", "verify", "-"}), words_t{"--exact"});
  EXPECT_EQ(sorted(complete({"romupdate-abs", "verify", "--exact", "x"})), words_t{"x.cfg.cfg"});
  EXPECT_EQ(sorted(complete({"romupdate-abs", "info", "s"})), words_t{"sub"});
  EXPECT_EQ(complete({"romupdate-abs", "info", "README", ""}), words_t{});
  EXPECT_EQ(complete({"romupdate-abs", "make", "--"}),
            (words_t{"--address", "--random", "--seed"}));
  EXPECT_EQ(complete({"romupdate-abs", "make", "--address", ""}), words_t{});
  EXPECT_EQ(complete({"romupdate-abs", "make", "--address", "0", "R"}), words_t{"README"});
  EXPECT_EQ(complete({"romupdate-abs", "frobnicate", ""}), words_t{});
}

// romupdate-fleet: options before "--", then the target list (a file), then
// configuration names as romupdate takes them; the words of an option's
// value, "=" forms included, are no operands.
TEST_F(Completion, FleetOptionsListAndProducts) {
  EXPECT_EQ(complete({"romupdate-fleet", "--re"}), (words_t{"--results", "--retries"}));
  EXPECT_EQ(complete({"romupdate-fleet", "--in"}), words_t{"--inventory"});
  EXPECT_EQ(complete({"romupdate-fleet", "-v", "R"}), words_t{"README"});
  EXPECT_EQ(complete({"romupdate-fleet", "README", "T5"}), (words_t{"T5806", "T5850"}));
  EXPECT_EQ(complete({"romupdate-fleet", "-j", "4", "--logs", "sub", "README", "lo"}),
            words_t{"local"});
  EXPECT_EQ(complete({"romupdate-fleet", "--logs", "=", "sub", "R"}), words_t{"README"});
  EXPECT_EQ(complete({"romupdate-fleet", "--logs=sub", "README", "-v", "lo"}), words_t{"local"});
  EXPECT_EQ(complete({"romupdate-fleet", "--logs", "s"}), words_t{"sub"});
  EXPECT_EQ(complete({"romupdate-fleet", "--results=R"}), words_t{"--results=README"});
  EXPECT_EQ(complete({"romupdate-fleet", "--timeout", ""}), words_t{});
  EXPECT_EQ(complete({"romupdate-fleet", "--", "-"}), words_t{});
}

TEST_F(Completion, UnlockTakesOptionsAndOneAddress) {
  EXPECT_EQ(complete({"romupdate-unlock", "-"}), (words_t{"--force", "--help", "--version"}));
  EXPECT_EQ(complete({"romupdate-unlock", "--force", "--v"}), words_t{"--version"});
  EXPECT_EQ(sorted(complete({"romupdate-unlock", "ben"})), (words_t{"bench7", "bench8"}));
  EXPECT_EQ(complete({"romupdate-unlock", "--force", "--", "la"}), words_t{"lab9"});
  EXPECT_EQ(complete({"romupdate-unlock", "bench7", ""}), words_t{});
  EXPECT_EQ(complete({"romupdate-unlock", "bench7", "-"}), words_t{});
}

TEST_F(Completion, InventoryTakesProductsAndAddresses) {
  EXPECT_EQ(complete({"romupdate-inventory", "--"}),
            (words_t{"--tsv", "--product", "--help", "--version"}));
  EXPECT_EQ(complete({"romupdate-inventory", "--product", "T5"}), (words_t{"T5806", "T5850"}));
  EXPECT_EQ(complete({"romupdate-inventory", "--product=lo"}), words_t{"--product=local"});
  EXPECT_EQ(complete({"romupdate-inventory", "--product", "T5806", "bench7", "la"}),
            words_t{"lab9"});
  EXPECT_EQ(complete({"romupdate-inventory", "--", "-"}), words_t{});
}

}  // namespace
