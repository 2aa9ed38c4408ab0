// get_configname runs in a child process in every test: it changes into a
// scratch current directory, reads the operator's answers from a pipe on
// standard input, and resolves the installation root from the environment.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "run_state.h"

namespace {

namespace fs = std::filesystem;
using testing::ExitedWithCode;

class Select : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/config_select_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    cwd = root + "/cwd";
    install = root + "/install";
    update = install + "/inst/update";
    fs::create_directories(cwd);
    fs::create_directories(update);
    programming_lan = verboseflag = 0;
    interrupted = 0;
  }
  void TearDown() override { fs::remove_all(root); }

  static void put(const std::string &path, const std::string &content = "romident 1\n") {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(content.c_str(), f);
    fclose(f);
  }

  // The configuration files of a directory in the order the menu numbers
  // them.
  static std::vector<std::string> menu_order(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
      const char *dot = strrchr(e->d_name, '.');
      if (dot && (strcmp(dot, ".cfg") == 0 || strcmp(dot, ".CFG") == 0)) {
        names.push_back(e->d_name);
      }
    }
    if (d) {
      closedir(d);
    }
    return names;
  }

  static int menu_number(const std::string &dir, const std::string &name) {
    auto names = menu_order(dir);
    for (size_t i = 0; i < names.size(); i++) {
      if (names[i] == name) {
        return static_cast<int>(i) + 1;
      }
    }
    ADD_FAILURE() << name << " not in " << dir;
    return 0;
  }

  // In the child: the scratch directories, the answers on standard input,
  // and standard output joined to the captured standard error.
  void enter(const std::string &answers) const {
    if (chdir(cwd.c_str()) != 0) {
      _exit(3);
    }
    setenv("XR52000", install.c_str(), 1);
    int p[2];
    if (pipe(p) != 0) {
      _exit(3);
    }
    if (write(p[1], answers.data(), answers.size()) != static_cast<ssize_t>(answers.size())) {
      _exit(3);
    }
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    clearerr(stdin);
    dup2(2, 1);
    setvbuf(stdout, nullptr, _IONBF, 0);
  }

  // In the child: the choice, reported on standard error, then exit 0.
  [[noreturn]] static void choose(const char *name) {
    unsigned char local_flag = 9;
    FILE *file = nullptr;
    char *path = get_configname(name, &local_flag, &file);
    char first[80] = "";
    if (!file || !fgets(first, sizeof first, file)) {
      _exit(2);
    }
    first[strcspn(first, "\n")] = '\0';
    fprintf(stderr, "\n[path=%s local=%d lan=%d content=%s]", path, local_flag, programming_lan,
            first);
    _exit(0);
  }

  std::string root, cwd, install, update;
};

// ---- A name given ------------------------------------------------------------

TEST_F(Select, NameIsTriedHereThenInTheUpdateDirectory) {
  put(cwd + "/T5806.cfg", "here");
  put(update + "/T5806.cfg", "there");
  put(update + "/T5810.cfg", "there");
  put(cwd + "/a.b.cfg", "ab");
  put(cwd + "/X.CFG", "upper");
  EXPECT_EXIT((enter(""), choose("T5806")), ExitedWithCode(0),
              "\\[path=T5806.cfg local=1 lan=0 content=here]");
  EXPECT_EXIT((enter(""), choose("T5810")), ExitedWithCode(0),
              "\\[path=" + update + "/T5810.cfg local=0 lan=0 content=there]");
  EXPECT_EXIT((enter(""), choose("a.b")), ExitedWithCode(0), "path=a.b.cfg .*content=ab");
  EXPECT_EXIT((enter(""), choose("X.CFG")), ExitedWithCode(0), "path=X.CFG .*content=upper");
  EXPECT_EXIT((enter(""), choose("nothere")), ExitedWithCode(1),
              "^romupdate: Cannot open 'nothere.cfg' or '" + update + "/nothere.cfg'\n$");
}

TEST_F(Select, UnreadableFileIsNotOpened) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads every file";
  }
  put(cwd + "/locked.cfg");
  chmod((cwd + "/locked.cfg").c_str(), 0);
  EXPECT_EXIT((enter(""), choose("locked")), ExitedWithCode(1), "Cannot open 'locked.cfg'");
}

TEST_F(Select, LanProductIsRecognisedByItsFileName) {
  put(update + "/38126.cfg");
  fs::create_directories(cwd + "/sub");
  put(cwd + "/sub/38126A.cfg");
  put(cwd + "/x38126.cfg");
  EXPECT_EXIT((enter(""), choose("38126")), ExitedWithCode(0), "local=0 lan=1");
  EXPECT_EXIT((enter(""), choose("sub/38126A")), ExitedWithCode(0),
              "path=sub/38126A.cfg local=1 lan=1");
  EXPECT_EXIT((enter(""), choose("x38126")), ExitedWithCode(0), "lan=0");
}

TEST_F(Select, NamesTooLongAreRefusedNotCut) {
  // 76 characters and the suffix: one too many for the candidate.  Cut to
  // fit, the name would open this other file.
  std::string name(76, 'n');
  put(cwd + "/" + name + ".cf");
  EXPECT_EXIT((enter(""), choose(name.c_str())), ExitedWithCode(1),
              "^romupdate: Configuration name too long: '" + name + "'\n$");

  // Fits here, but not behind the update directory's name.
  std::string local_name(70, 'm');
  put(cwd + "/" + local_name + ".cfg", "fits");
  EXPECT_EXIT((enter(""), choose(local_name.c_str())), ExitedWithCode(0), "content=fits");
  std::string missing(70, 'q');
  EXPECT_EXIT((enter(""), choose(missing.c_str())), ExitedWithCode(1),
              "Configuration name too long: 'q+'");

  // A file of the menu.
  fs::remove(cwd + "/" + local_name + ".cfg");
  std::string listed(100, 'z');
  put(cwd + "/" + listed + ".cfg");
  EXPECT_EXIT((enter("1\n"), choose(nullptr)), ExitedWithCode(1),
              "romupdate: Configuration name too long: '" + listed + ".cfg'\n$");
}

// ---- The menu ----------------------------------------------------------------

const std::string kPrompt =
    "Number of Product to Update\\? \\(intr \\(usually cntl C or DEL\\) to abort\\) ";

TEST_F(Select, MenuListsTheCurrentDirectoryFirst) {
  put(cwd + "/only.cfg", "mine");
  put(cwd + "/notes.txt");
  put(update + "/a.cfg");
  EXPECT_EXIT((enter("1\n"), choose(nullptr)), ExitedWithCode(0),
              "^\n\t\tProduct\n\t  1 only\n\n" + kPrompt +
                  "\n\\[path=only.cfg local=1 lan=0 content=mine]$");
}

TEST_F(Select, EmptyCurrentDirectoryShowsTheUpdateDirectory) {
  put(update + "/a.cfg");
  put(update + "/b.cfg", "bee");
  put(update + "/38126.cfg");
  int b = menu_number(update, "b.cfg");
  EXPECT_EXIT((enter(std::to_string(b) + "\n"), choose(nullptr)), ExitedWithCode(0),
              "^\n\t\tProduct\n\n\t\tProduct\n(\t  [123] [ab3][0-9]*\n){3}\n" + kPrompt +
                  "\n\\[path=" + update + "/b.cfg local=0 lan=0 content=bee]$");
  int lan = menu_number(update, "38126.cfg");
  EXPECT_EXIT((enter(std::to_string(lan) + "\n"), choose(nullptr)), ExitedWithCode(0),
              "local=0 lan=1");

  // No configuration file anywhere, and no update directory at all.
  fs::remove_all(update);
  fs::create_directories(update);
  put(update + "/readme");
  EXPECT_EXIT((enter(""), choose(nullptr)), ExitedWithCode(1),
              "No \\*.cfg files found in '" + update + "/'\n\n$");
  fs::remove_all(install);
  EXPECT_EXIT((enter(""), choose(nullptr)), ExitedWithCode(1),
              "romupdate: Can't open '" + update + "/'\n$");
}

TEST_F(Select, LabelsOfTheMenu) {
  put(cwd + "/38163.cfg", "four boards");
  put(cwd + "/ab.c.cfg", "two dots");
  put(cwd + "/up.CFG");
  for (const char *other : {"mixed.Cfg", "cfg", "x.cfg.bak"}) {
    put(cwd + "/" + other);
  }
  ASSERT_EQ(menu_order(cwd).size(), 3u);
  std::string four = std::to_string(menu_number(cwd, "38163.cfg"));
  std::string two = std::to_string(menu_number(cwd, "ab.c.cfg"));
  std::string up = std::to_string(menu_number(cwd, "up.CFG"));
  EXPECT_EXIT((enter(four + "\n"), choose(nullptr)), ExitedWithCode(0),
              "\t  " + four + " 38134/38147/38152/38163\n.*content=four boards");
  EXPECT_EXIT((enter(two + "\n"), choose(nullptr)), ExitedWithCode(0),
              "\t  " + two + " ab\n.*path=ab.c.cfg .*content=two dots");
  EXPECT_EXIT((enter(up + "\n"), choose(nullptr)), ExitedWithCode(0),
              "\t  " + up + " up\n.*path=up.CFG ");
}

TEST_F(Select, WrongAnswersAreAskedAgain) {
  put(cwd + "/a.cfg", "A");
  put(cwd + "/b.cfg", "B");
  std::string b = std::to_string(menu_number(cwd, "b.cfg"));
  std::string asked;
  for (int i = 0; i < 8; i++) {
    asked += kPrompt;
  }
  EXPECT_EXIT((enter("0\n-1\n3\n99999999999999999999\nabc\n\n   \n " + b + "\n"), choose(nullptr)),
              ExitedWithCode(0), asked + "\n\\[path=b.cfg .*content=B");
  // End of input, and an interrupt, end the run.
  EXPECT_EXIT((enter("7\n"), choose(nullptr)), ExitedWithCode(1), "");
  EXPECT_EXIT(
      {
        enter("1\n");
        interrupted = 1;
        choose(nullptr);
      },
      ExitedWithCode(1), "");
}

}  // namespace
