// loadfile against a fake target on the other end of a socket pair.
#include "files/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "files/files_test_support.h"
#include "files/image_file.h"
#include "gtw/gtw.h"
#include "gtw/gtw_test_support.h"

namespace {

using namespace test_files;

using fake_target = gtw_test::peer_pair;

bytes as_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

class LoadfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_.emplace();  // a fresh pair each time
    ASSERT_TRUE(target_->ok());
    target_->bound_waits(10);
    conn_.command_socket = target_->ours;
    gtw_flush_messages();
  }
  void TearDown() override {
    target_->close_ours();
    if (thread_.joinable()) {
      thread_.join();
    }
    gtw_flush_messages();
  }

  // Runs the target's script beside the download and returns loadfile's
  // result; what the program printed to stderr lands in stderr_.  The
  // target hangs up when its script ends.
  int download(const char *path, int count, unsigned char flash,
               std::function<void(fake_target &)> script) {
    return exchange([&] { return loadfile(&conn_, path, count, flash); }, script);
  }
  int download(const held_image &image, uint32_t count, std::function<void(fake_target &)> script) {
    return exchange([&] { return loadfile(&conn_, image, count, 1); }, script);
  }
  int exchange(const std::function<int()> &call, std::function<void(fake_target &)> script) {
    thread_ = std::thread([this, script] {
      script(*target_);
      target_->close_theirs();
    });
    ::testing::internal::CaptureStderr();
    int result = call();
    stderr_ = ::testing::internal::GetCapturedStderr();
    // Let a target still waiting for data see the end of the connection.
    target_->close_ours();
    thread_.join();
    return result;
  }

  gtw_conn conn_;
  std::optional<fake_target> target_;
  std::thread thread_;
  std::string stderr_;
};

// The ordinary target: takes the command, answers the go-ahead, takes the
// records and the two closing zero bytes, reports status, prompts.
struct recording {
  std::string command;
  bytes data;
};

std::function<void(fake_target &)> answering(recording *seen, size_t data_size,
                                             std::string status) {
  return [=](fake_target &t) {
    seen->command = t.read_line();
    t.put("G");
    seen->data = as_bytes(t.read_bytes(data_size + 2));
    t.put(status);
    t.put("R$");
    t.read_to_end();
  };
}

TEST_F(LoadfileTest, SendsCommandRecordsAndTwoZeroBytes) {
  bytes records = concat({record(0x280000, pattern(250)), record(0x2800FA, pattern(3)),
                          record(0x300000, pattern(17))});
  // Enough records to need several chunks of the download buffer.
  for (int i = 0; i < 20; i++) {
    bytes more = record(0x400000 + i * 250, pattern(250, uint8_t(i)));
    records.insert(records.end(), more.begin(), more.end());
  }
  temp_file file(concat({header(), records}));
  recording seen;
  EXPECT_EQ(download(file.path(), 0x40000, 1, answering(&seen, records.size(), "\x01")), 0);
  EXPECT_EQ(seen.command, "lcd -qfb 40000\n");
  EXPECT_EQ(seen.data, concat({records, {0, 0}}));
  EXPECT_EQ(stderr_, "");
  EXPECT_EQ(gtw_get_message(), nullptr);
}

// The target reads the stream record by record: what goes on the wire is
// the records as the scan read them, so the target neither waits for a byte
// that never comes nor meets a second end of records.
TEST_F(LoadfileTest, WireCarriesTheRecordsAsTheScanReadThem) {
  struct wire_case {
    const char *name;
    bytes file_records;  // behind the header
    bytes wire;          // the target's stream, its own end included
  };
  const bytes odd = record(0x200, pattern(7), false);
  const bytes even = record(0x100, pattern(8));
  const wire_case cases[] = {
      {"last record without its fill byte", concat({even, odd}),
       concat({even, odd, {0x00}, {0, 0}})},
      {"last record with its fill byte", concat({even, record(0x200, pattern(7))}),
       concat({even, record(0x200, pattern(7)), {0, 0}})},
      {"file ending in its own end of records", concat({even, {0, 0}}), concat({even, {0, 0}})},
  };
  for (const wire_case &c : cases) {
    if (&c != &cases[0]) {
      SetUp();  // a fresh connection for each case
    }
    temp_file file(concat({header(), c.file_records}));
    recording seen;
    EXPECT_EQ(download(file.path(), 0x108, 1, answering(&seen, c.wire.size() - 2, "\x01")), 0)
        << c.name;
    EXPECT_EQ(seen.data, c.wire) << c.name;
    EXPECT_EQ(stderr_, "") << c.name;
  }
}

// "!" instead of the go-ahead is the target refusing the download: its
// message is queued and not one byte of the image follows.
TEST_F(LoadfileTest, RefusedDownloadSendsNothing) {
  temp_file file(concat({header(), record(0x100, pattern(4))}));
  recording seen;
  int result = download(file.path(), 4, 1, [&seen](fake_target &t) {
    seen.command = t.read_line();
    t.put("!ERROR: lcd: no room for the download\r\nR$");
    seen.data = as_bytes(t.read_to_end());
  });
  EXPECT_TRUE(result & GTW_FAILED) << result;
  EXPECT_TRUE(seen.data.empty()) << seen.data.size() << " bytes sent";
  char *message = gtw_get_message();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(std::string(message), "!ERROR: lcd: no room for the download");
  free(message);
  EXPECT_EQ(gtw_get_message(), nullptr);
}

TEST_F(LoadfileTest, LoaderCommandAndHeaderOnlyFile) {
  temp_file file(header());
  recording seen;
  EXPECT_EQ(download(file.path(), 0, 0, answering(&seen, 0, "\x01")), 0);
  EXPECT_EQ(seen.command, "lcd -qb 0\n");
  EXPECT_EQ(seen.data, bytes({0, 0}));
}

TEST_F(LoadfileTest, StatusOtherThanOneFailsEvenWithACleanPrompt) {
  temp_file file(concat({header(), record(0x100, pattern(4))}));
  recording seen;
  // The second byte after a bad status must be consumed, not read as prompt.
  int result = download(file.path(), 4, 1, answering(&seen, 12, std::string("\x00\x07", 2)));
  EXPECT_TRUE(result & GTW_FAILED) << result;
  EXPECT_TRUE(result & GTW_MESSAGES) << result;
  char *message = gtw_get_message();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(std::string(message),
            std::string("Download of '") + file.path() + "' failed: target status 0");
  free(message);
  EXPECT_EQ(gtw_get_message(), nullptr);
}

TEST_F(LoadfileTest, TargetClosingAtTheGoAheadFails) {
  temp_file file(concat({header(), record(0x100, pattern(4))}));
  int result = download(file.path(), 4, 1, [](fake_target &t) {
    t.read_line();
    t.close_theirs();
  });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(stderr_, std::string(file.path()) + ": connection closed by target\n");
}

TEST_F(LoadfileTest, TargetClosingMidDataFailsWithoutSignal) {
  // Far more than the socket buffers hold, so the sends meet the closed end.
  bytes content = header();
  const bytes one = record(0, pattern(250));
  for (int i = 0; i < 20000; i++) {
    content.insert(content.end(), one.begin(), one.end());
  }
  temp_file file(content);
  int result = download(file.path(), 0x1000, 1, [](fake_target &t) {
    t.read_line();
    t.put("G");
    t.read_bytes(1000);
    t.close_theirs();
  });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(stderr_.rfind(std::string(file.path()) + ": ", 0), 0u) << stderr_;
}

// The target takes the data, sends these status bytes and hangs up.
std::function<void(fake_target &)> closing_after(std::string status) {
  return [status](fake_target &t) {
    t.read_line();
    t.put("G");
    t.read_bytes(12 + 2);
    t.put(status);
    t.close_theirs();
  };
}

TEST_F(LoadfileTest, TargetClosingBeforeTheStatusFails) {
  temp_file file(concat({header(), record(0x100, pattern(4))}));
  EXPECT_EQ(download(file.path(), 4, 1, closing_after("")), 3);
  EXPECT_EQ(stderr_, std::string(file.path()) + ": connection closed by target\n");
  EXPECT_EQ(gtw_get_message(), nullptr);
}

TEST_F(LoadfileTest, TargetClosingInsideABadStatusFails) {
  temp_file file(concat({header(), record(0x100, pattern(4))}));
  EXPECT_EQ(download(file.path(), 4, 1, closing_after(std::string("\x00", 1))), 3);
  EXPECT_EQ(stderr_, std::string(file.path()) + ": connection closed by target\n");
  EXPECT_EQ(gtw_get_message(), nullptr);
}

TEST_F(LoadfileTest, MissingFileFailsAfterTheGoAhead) {
  recording seen;
  int result = download("/nonexistent/dir/image.X", 4, 1, [&seen](fake_target &t) {
    seen.command = t.read_line();
    t.put("G");
    seen.data = as_bytes(t.read_to_end());
  });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(seen.command, "lcd -qfb 4\n");
  EXPECT_TRUE(seen.data.empty());
  EXPECT_EQ(stderr_, "/nonexistent/dir/image.X: No such file or directory\n");
}

TEST_F(LoadfileTest, ShortHeaderFailsAndSendsNothing) {
  temp_file file(bytes(27, 0xEE));
  recording seen;
  int result = download(file.path(), 4, 0, [&seen](fake_target &t) {
    t.read_line();
    t.put("G");
    seen.data = as_bytes(t.read_to_end());
  });
  EXPECT_EQ(result, 3);
  EXPECT_TRUE(seen.data.empty());
  EXPECT_EQ(stderr_, std::string("Unable to read from file '") + file.path() + "'\n");
}

// An image held since its check goes out only as it was checked.  A change
// that shows in the file's size or time stops it before the "lcd"; one that
// does not (the time put back) is found in the bytes, and the target is not
// told that the records are complete.
TEST_F(LoadfileTest, HeldImageIsSentOnlyAsChecked) {
  const bytes records = concat({record(0x280000, pattern(250)), record(0x2800FA, pattern(7))});
  struct held_case {
    const char *name;
    bool rewrite, keep_time;
    const char *what;  // the change named, or null
  };
  const held_case cases[] = {
      {"as checked", false, false, nullptr},
      {"rewritten", true, false, "it was written to"},
      {"rewritten, its time put back", true, true, "its bytes differ"},
  };
  for (const held_case &c : cases) {
    if (&c != &cases[0]) {
      SetUp();
    }
    temp_file file(concat({header(), records}));
    held_image image;
    char why[160];
    ASSERT_TRUE(image.check(file.path(), why, sizeof why)) << why;
    EXPECT_EQ(image.scan().stream_bytes, records.size());
    if (c.rewrite) {
      struct stat before;
      ASSERT_EQ(stat(file.path(), &before), 0);
      FILE *f = fopen(file.path(), "r+b");
      ASSERT_NE(f, nullptr);
      fseek(f, 28 + 8 + 100, SEEK_SET);
      fputc(0x5A, f);
      fclose(f);
      if (c.keep_time) {
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, file.path(), times, 0), 0);
      }
    }
    recording seen;
    int result = download(image, 0x101, [&seen, &records](fake_target &t) {
      seen.command = t.read_line();
      if (seen.command.empty()) {
        return;
      }
      t.put("G");
      seen.data = as_bytes(t.read_bytes(records.size() + 2));
      if (seen.data.size() == records.size() + 2) {
        t.put("\x01R$");
      }
      t.read_to_end();
    });
    if (!c.what) {
      EXPECT_EQ(result, 0) << c.name << ": " << stderr_;
      EXPECT_EQ(seen.data, concat({records, {0, 0}})) << c.name;
      continue;
    }
    EXPECT_EQ(result, LOADFILE_FAILED) << c.name;
    EXPECT_EQ(stderr_, std::string(file.path()) + ": changed since it was checked (" + c.what +
                           "); nothing more is sent for it\n")
        << c.name;
    EXPECT_EQ(seen.command.empty(), !c.keep_time) << c.name;
    EXPECT_LT(seen.data.size(), records.size() + 2) << c.name << ": the end of records went out";
  }
}

TEST_F(LoadfileTest, DeadConnectionFailsAtOnce) {
  target_->close_ours();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(loadfile(&conn_, "image.X", 4, 1), 3);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("image.X: ", 0), 0u) << err;
}

}  // namespace
