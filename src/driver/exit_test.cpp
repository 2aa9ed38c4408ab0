// The end of a run: what reaches the target, what is printed, the status.
#include <gtest/gtest.h>

#include <csignal>

#include "driver/driver_test_support.h"
#include "driver/driver.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "platform/platform.h"

namespace {

struct exit_case {
  int state = 0;
  bool verbose = false;
  bool bdm = false;
  bool quokka_board = false;
  bool interrupted_run = false;
  int status = 1;
};

struct exit_outcome {
  child_result child;
  std::string target;  // bytes the target received
};

// Runs `end` in a child whose connection is a socket pair, with the run
// state of `c`, and plays the target on the other end.
exit_outcome run_exit(const exit_case &c, const std::function<void()> &end) {
  gtw_test::peer_pair command, control;
  EXPECT_TRUE(command.ok() && control.ok());
  exit_outcome outcome;
  outcome.child = run_in_child(
      [&] {
        command.close_theirs();
        control.close_theirs();
        accept_wakeups();
        program_name = "romupdate-test";
        prepare_interrupt_texts();
        gtw.command_socket = command.ours;
        gtw.control_socket = control.ours;
        gtw.started = 0;
        interface_started = c.state;
        verboseflag = c.verbose;
        bdm_flag = c.bdm;
        quokka = c.quokka_board;
        interrupted = c.interrupted_run;
        end();
      },
      "",
      [&](pid_t pid) {
        command.close_ours();
        control.close_ours();
        outcome.target = play_target(command, pid, "init -p\n");
      });
  return outcome;
}

exit_outcome run_exit(const exit_case &c) {
  return run_exit(c, [&] { exit_romupdate(c.status); });
}

}  // namespace

TEST(ExitRoutine, NoConnectionOnlyReportsTheResult) {
  exit_outcome ok = run_exit({.state = 0, .verbose = true, .status = 0});
  EXPECT_EQ(ok.child.status, 0);
  EXPECT_EQ(ok.child.err, "Flash programming SUCCEEDED\n");
  EXPECT_EQ(ok.target, "");

  exit_outcome quiet = run_exit({.state = 0, .verbose = false, .status = 1});
  EXPECT_EQ(quiet.child.status, 1);
  EXPECT_EQ(quiet.child.err, "");
}

TEST(ExitRoutine, OpenTargetIsReleased) {
  exit_outcome r = run_exit({.state = 1, .verbose = true, .status = 1});
  EXPECT_EQ(r.child.status, 1);
  EXPECT_EQ(r.target, "mac -d lockinfo\npo -p >\n");
  EXPECT_EQ(r.child.err, "Flash programming FAILED\n");
}

TEST(ExitRoutine, RebootedTargetIsRebootedAgain) {
  exit_outcome r = run_exit({.state = 2, .verbose = true, .quokka_board = true, .status = 0});
  EXPECT_EQ(r.child.status, 0);
  EXPECT_EQ(r.target, "init -p\n");
  EXPECT_EQ(r.child.err, "\nRebooting Flash Target System...\nFlash programming SUCCEEDED\n");

  exit_outcome quiet = run_exit({.state = 2, .verbose = false, .status = 1});
  EXPECT_EQ(quiet.child.status, 1);
  EXPECT_EQ(quiet.target, "init -p\n");
  EXPECT_EQ(quiet.child.err, "");
}

// The finishing command is the last step of the programming: a run whose
// finish never went out did not program the flash, and must not succeed.
TEST(ExitRoutine, FinishingCommandThatDidNotGoOutFails) {
  struct {
    bool lan;
    bool deliverable;
    int status;
    const char *target;
  } cases[] = {
      {false, true, 0, "pf -f 00 8\ninit -p\n"},
      {true, true, 0, "pf -f 00 8\ninit -p\n"},
      {false, false, 1, ""},
      {true, false, 1, ""},
  };
  for (const auto &c : cases) {
    exit_outcome r =
        run_exit({.state = 2, .verbose = true, .quokka_board = true, .status = 0}, [&] {
          programming_lan = c.lan;
          if (!c.deliverable) {
            shutdown(gtw.command_socket, SHUT_WR);
          }
          send_finish("pf -f 00 8\n");
          exit_romupdate(0);
        });
    EXPECT_EQ(r.child.status, c.status) << "lan " << c.lan << " deliverable " << c.deliverable;
    EXPECT_EQ(r.target, c.target) << "lan " << c.lan;
    const std::string result =
        c.status ? "Flash programming FAILED\n" : "Flash programming SUCCEEDED\n";
    EXPECT_EQ(r.child.err.substr(r.child.err.size() - std::min(r.child.err.size(), result.size())),
              result)
        << r.child.err;
  }
}

TEST(ExitRoutine, TargetBehindNwireBoxIsReleasedNotRebooted) {
  exit_outcome r = run_exit({.state = 2, .verbose = true, .bdm = true, .status = 1});
  EXPECT_EQ(r.child.status, 1);
  EXPECT_EQ(r.target, "mac -d lockinfo\npo -p >\n");
  EXPECT_EQ(r.child.err, "\nRebooting Flash Target System...\nFlash programming FAILED\n");
}

TEST(ExitRoutine, InterruptedRunLeavesTheConnectionAlone) {
  for (int state : {1, 2}) {
    exit_outcome r =
        run_exit({.state = state, .verbose = true, .interrupted_run = true, .status = 1});
    EXPECT_EQ(r.child.status, 1);
    EXPECT_EQ(r.target, "") << "state " << state;
    EXPECT_EQ(r.child.err, "Flash programming FAILED\n");
  }
  // Once the address is known, the run says what it leaves behind: a
  // rebooted target is left unrebooted, one behind the nwire box unreleased.
  struct {
    int state;
    bool bdm;
    const char *left;
  } cases[] = {{0, false, "released"},
               {1, false, "released"},
               {2, false, "rebooted"},
               {2, true, "released"}};
  for (const auto &c : cases) {
    exit_outcome r =
        run_exit({.state = c.state, .verbose = true, .bdm = c.bdm, .interrupted_run = true}, [&] {
          remember_target("bench7");
          exit_romupdate(1);
        });
    EXPECT_EQ(r.target, "");
    EXPECT_EQ(r.child.err, std::string("romupdate-test: interrupted: bench7 was not ") + c.left +
                               " and its lock may remain; romupdate-unlock bench7 clears it\n"
                               "Flash programming FAILED\n")
        << "state " << c.state;
  }
}

// Once the reboot command has gone out, the target no longer needs the
// advice: an interrupt during the wait for it to come back must not say that
// it was not rebooted.
TEST(InterruptRoutine, DuringTheWaitAfterTheRebootGivesNoAdvice) {
  int command[2], control[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, command), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, control), 0);
  std::string target;
  child_result r = run_in_child(
      [&] {
        close(command[1]);
        close(control[1]);
        program_name = "romupdate-test";
        prepare_interrupt_texts();
        gtw.command_socket = command[0];
        gtw.control_socket = control[0];
        gtw.started = 0;
        interface_started = 2;
        verboseflag = 1;
        quokka = 1;
        remember_target("bench7");
        plat_install_interrupts(interrupt_handler);
        exit_romupdate(0);
      },
      "",
      [&](pid_t pid) {
        close(command[0]);
        close(control[0]);
        char buf[64];
        while (target.find("init -p\n") == std::string::npos) {
          ssize_t n = recv(command[1], buf, sizeof buf, 0);
          if (n <= 0) {
            break;
          }
          target.append(buf, static_cast<size_t>(n));
        }
        // Into the wait, which the interrupt cuts short.
        usleep(200 * 1000);
        kill(pid, SIGINT);
      });
  close(command[1]);
  close(control[1]);
  EXPECT_EQ(target, "init -p\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "\nRebooting Flash Target System...\nromupdate-test: Interrupt\n"
            "Flash programming FAILED\n");
}

TEST(InterruptRoutine, MessagePerSignal) {
  struct {
    int sig;
    const char *message;
  } cases[] = {
      {SIGINT, "romupdate-test: Interrupt\n"},
      {SIGTERM, "romupdate-test: Terminate\n"},
      {SIGHUP, ""},
      {SIGQUIT, ""},
  };
  for (const auto &c : cases) {
    exit_outcome r = run_exit({.state = 2, .verbose = true}, [&] { interrupt_handler(c.sig); });
    EXPECT_EQ(r.child.status, 1) << c.sig;
    EXPECT_EQ(r.child.err, std::string(c.message) + "Flash programming FAILED\n") << c.sig;
    EXPECT_EQ(r.target, "") << c.sig;
  }
}

TEST(InterruptRoutine, InstalledForInterruptAndTerminate) {
  for (int sig : {SIGINT, SIGTERM}) {
    exit_outcome r = run_exit({.state = 1, .verbose = false}, [&] {
      plat_install_interrupts(interrupt_handler);
      raise(sig);
    });
    EXPECT_EQ(r.child.status, 1) << sig;
    EXPECT_EQ(r.target, "") << sig;
    EXPECT_NE(r.child.err.find(sig == SIGINT ? ": Interrupt\n" : ": Terminate\n"),
              std::string::npos);
  }
}

TEST(InterruptRoutine, LongProgramNameKeepsTheLineEnd) {
  std::string name(2 * SIGNAL_TEXT_SIZE, 'p');
  exit_outcome r = run_exit({.state = 0}, [&] {
    program_name = name.c_str();
    prepare_interrupt_texts();
    interrupt_handler(SIGINT);
  });
  EXPECT_EQ(r.child.status, 1);
  ASSERT_EQ(r.child.err.size(), static_cast<size_t>(SIGNAL_TEXT_SIZE - 1));
  EXPECT_EQ(r.child.err.back(), '\n');
}
