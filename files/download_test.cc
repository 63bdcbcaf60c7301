#include "files/download.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "files/errors.h"
#include "files/file_state.h"
#include "files/file_system.h"
#include "files/resume.h"
#include "link/text.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::Exchange;
using testing::receive_download;
using testing::Received;
using testing::same_bytes;
using testing::write_file;

using Lengths = std::vector<size_t>;

/// Runs send_file on the server end while the test takes `data_bytes`.
struct DownloadRun {
  Received got;
  bool result = false;
  std::string console;
};

DownloadRun download(Exchange& x, const std::string& path, int32_t offset, bool text,
                     size_t data_bytes, SecondsClock clock = monotonic_seconds) {
  DownloadRun run;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    run.result = send_file(lines, console, whole_fs, path, offset, text, clock);
  });
  run.got = receive_download(x.peer(), data_bytes);
  x.join();
  run.console = x.console().output();
  return run;
}

std::string pattern(size_t n) { return testing::pattern(n, 1); }

/// Port writes of the server end so far: a frame that the server starts
/// shows here at once.
uint64_t server_writes(Exchange& x) { return x.cable().cable().writes(VirtualCable::kEndA); }

int64_t fast_clock() {
  static int64_t t = 0;
  return ++t;  // a second passes at every reading
}

TEST(RawDownload, CutsEachBlockIntoFramesOfItsOwn) {
  Exchange x;
  const std::string content = pattern(32768 + 4097);
  write_file(x.dir().file("f"), content);
  DownloadRun run = download(x, x.dir().file("f"), 0, false, content.size());
  EXPECT_TRUE(run.result);
  ASSERT_EQ(run.got.replies.size(), 3u);
  EXPECT_EQ(run.got.replies[0].rfind("TIME ", 0), 0u);
  EXPECT_EQ(run.got.replies[1], "ATTR 32");
  EXPECT_EQ(run.got.replies[2], "SIZE 36865");
  EXPECT_EQ(run.got.lengths(), Lengths({4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 1}));
  EXPECT_TRUE(same_bytes(run.got.data(), content));
  EXPECT_EQ(run.console, "");
  EXPECT_EQ(existing_file_open_mode, O_RDONLY);
}

TEST(RawDownload, OffsetInsideTheFileSendsTheRestAndTheWholeSize) {
  Exchange x;
  const std::string content = pattern(10000);
  write_file(x.dir().file("f"), content);
  DownloadRun run = download(x, x.dir().file("f"), 4000, false, 6000);
  EXPECT_TRUE(run.result);
  ASSERT_EQ(run.got.replies.size(), 4u);
  EXPECT_EQ(run.got.replies[0], "REST 4000");
  EXPECT_EQ(run.got.replies[1].rfind("TIME ", 0), 0u);
  EXPECT_EQ(run.got.replies[2], "ATTR 32");
  EXPECT_EQ(run.got.replies[3], "SIZE 10000");
  EXPECT_EQ(run.got.lengths(), Lengths({4096, 1904}));
  EXPECT_TRUE(same_bytes(run.got.data(), content.substr(4000)));
}

TEST(RawDownload, OffsetBeyondTheEndSendsNoDataFrame) {
  Exchange x;
  write_file(x.dir().file("f"), pattern(100));
  DownloadRun run = download(x, x.dir().file("f"), 5000, false, 0);
  EXPECT_TRUE(run.result) << "a frame nobody takes would fail";
  ASSERT_EQ(run.got.replies.size(), 4u);
  EXPECT_EQ(run.got.replies[0], "REST 5000");
  EXPECT_EQ(run.got.replies[3], "SIZE 100");
  EXPECT_TRUE(run.got.frames.empty());
}

TEST(RawDownload, EmptyFileGetsSizeZeroAndNoFrame) {
  Exchange x;
  write_file(x.dir().file("f"), "");
  DownloadRun run = download(x, x.dir().file("f"), 0, false, 0);
  EXPECT_TRUE(run.result) << "a frame nobody takes would fail";
  ASSERT_EQ(run.got.replies.size(), 3u);
  EXPECT_EQ(run.got.replies[2], "SIZE 0");
}

TEST(Download, MissingFileGetsFileError2Only) {
  for (bool text : {false, true}) {
    Exchange x;
    DownloadRun run = download(x, x.dir().file("nothing"), 0, text, 0);
    EXPECT_TRUE(run.result) << "a delivered error reply ends the exchange properly";
    EXPECT_EQ(run.got.replies, std::vector<std::string>({"FILE ERROR 2"}));
    EXPECT_EQ(io_error, 0);
  }
}

TEST(Download, DirectoryGetsFileErrorBeforeAnyOtherReply) {
  for (bool text : {false, true}) {
    for (int32_t offset : {0, 10}) {
      Exchange x;
      DownloadRun run = download(x, x.dir().path(), offset, text, 0);
      EXPECT_TRUE(run.result);
      EXPECT_EQ(run.got.replies,
                std::vector<std::string>({"FILE ERROR " + std::to_string(io_error_number(EISDIR))}))
          << "text " << text << " offset " << offset;
    }
  }
}

TEST(Download, UnreadableFileGetsFileError5) {
  Exchange x;
  const std::string path = x.dir().file("secret");
  write_file(path, "hidden");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  // Root reads anything: the server side runs in a child that has become
  // an ordinary user. The cable's mapping is shared with the child.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && setuid(65534) != 0) _exit(100);
    testing::FakeConsole console;
    Lines lines = x.cable().server_lines();
    _exit(send_file(lines, console, whole_fs, path, 0, false) ? 0 : 1);
  }
  Received got = receive_download(x.peer(), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not become an ordinary user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(got.replies, std::vector<std::string>({"FILE ERROR 5"}));
}

// Devices and FIFOs are no files to fetch: there is no size to announce,
// reading one may never end (/dev/zero) and a FIFO's bytes belong to its
// reader. Both modes refuse them alike, and nothing is read from them.
TEST(Download, NonRegularFileGetsFileError5InBothModesAndIsNotRead) {
  Exchange x;
  const std::string fifo = x.dir().file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // A writer with bytes waiting in the FIFO; the download must leave them.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "queued\n", 7), 7);
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
    for (bool text : {false, true}) {
      for (int32_t offset : {0, 10}) {
        DownloadRun run = download(x, path, offset, text, 0);
        EXPECT_TRUE(run.result);
        EXPECT_EQ(run.got.replies, std::vector<std::string>({"FILE ERROR 5"}))
            << path << " text " << text << " offset " << offset;
        EXPECT_FALSE(x.server().busy());
      }
    }
  }
  char left[16] = {};
  EXPECT_EQ(read(reader, left, sizeof left), 7) << "the FIFO was drained";
  close(writer);
  close(reader);
}

TEST(Download, FileOf2GiBGetsFileErrorInsteadOfAWrappedSize) {
  Exchange x;
  const std::string path = x.dir().file("huge");
  {
    // Sparse: takes no room on the disk.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, int64_t{1} << 31), 0);
    close(fd);
  }
  const std::string too_large = "FILE ERROR " + std::to_string(FILE_ERROR_TOO_LARGE);
  for (bool text : {false, true}) {
    DownloadRun run = download(x, path, 0, text, 0);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.got.replies, std::vector<std::string>({too_large})) << "text " << text;
  }
}

TEST(TextDownload, ClientViewPast2GiBGetsFileErrorInPlaceOfTheSize) {
  Exchange x;
  // 2^31 - 1 stored bytes (sparse) with one LF: 2^31 bytes in the client
  // view. Reading the holes of a memory file system is quickest.
  char shm_pattern[] = "/dev/shm/tarnel-test-XXXXXX";
  const char* shm = mkdtemp(shm_pattern);
  const std::string path = (shm ? std::string(shm) : x.dir().path()) + "/huge.txt";
  {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (int64_t{1} << 31) - 1), 0);
    ASSERT_EQ(pwrite(fd, "\n", 1, 12345), 1);
    close(fd);
  }
  bool result = false;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    result = send_file(lines, console, whole_fs, path, 0, true);
  });
  EXPECT_EQ(x.peer().reply().rfind("TIME ", 0), 0u);
  EXPECT_EQ(x.peer().reply(), "ATTR 32");
  // The whole file is scanned before the next reply: wait for its first
  // nibble (handshake high, low nibble of the first magic byte 0x18).
  bool calling = false;
  for (int i = 0; i < 6000 && !calling; ++i) {
    calling = (x.peer().lines().read_status() & 0xF8) == 0x40;
    if (!calling) usleep(10000);
  }
  EXPECT_TRUE(calling);
  EXPECT_EQ(x.peer().reply(), "FILE ERROR " + std::to_string(FILE_ERROR_TOO_LARGE));
  x.join();
  EXPECT_TRUE(result);
  unlink(path.c_str());
  if (shm) rmdir(shm);
}

struct TextCase {
  const char* name;
  std::string stored;
  int32_t offset;
  std::vector<std::string> replies_after_attr;  // "WAIT"s and "SIZE n"
  std::string data;                             // what the client gets
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class TextDownload : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextDownload, SendsTheClientView) {
  const TextCase& c = GetParam();
  Exchange x;
  write_file(x.dir().file("t"), c.stored);
  DownloadRun run = download(x, x.dir().file("t"), c.offset, true, c.data.size());
  EXPECT_TRUE(run.result);
  std::vector<std::string> replies = run.got.replies;
  ASSERT_GE(replies.size(), 3u);
  size_t first = c.offset != 0 ? 1 : 0;
  if (c.offset != 0) {
    EXPECT_EQ(replies[0], "REST " + std::to_string(c.offset));
  }
  EXPECT_EQ(replies[first].rfind("TIME ", 0), 0u);
  EXPECT_EQ(replies[first + 1], "ATTR 32");
  EXPECT_EQ(std::vector<std::string>(replies.begin() + first + 2, replies.end()),
            c.replies_after_attr);
  EXPECT_TRUE(same_bytes(run.got.data(), c.data));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextDownload,
    ::testing::Values(
        TextCase{"LfBecomesCrLf", "a\nb\n", 0, {"SIZE 6"}, "a\r\nb\r\n"},
        TextCase{"StoredCrPassesUnchanged", "x\r\n", 0, {"SIZE 4"}, "x\r\r\n"},
        TextCase{"OffsetBetweenCrAndLfStartsWithTheLf", "a\nb\n", 2, {"SIZE 6"}, "\nb\r\n"},
        TextCase{"OffsetBetweenCrAndLfOfTheLastLineSendsThatLf", "a\nb\n", 5, {"SIZE 6"}, "\n"},
        TextCase{"OffsetAfterAPairStartsWithTheNextByte", "a\nb\n", 3, {"SIZE 6"}, "b\r\n"},
        TextCase{"OffsetAtTheEndSendsNothing", "a\nb\n", 6, {"SIZE 6"}, ""},
        TextCase{
            "OffsetBeyondTheClientViewSendsFromTheStart", "a\nb\n", 7, {"SIZE 6"}, "a\r\nb\r\n"},
        TextCase{"EmptyFile", "", 0, {"SIZE 0"}, ""}),
    [](const auto& row) { return row.param.name; });

TEST(TextDownload, BlockWith100LfGivesEightFullFramesAndOneOf100) {
  Exchange x;
  std::string block(32768, 'x');
  for (int i = 0; i < 100; ++i) block[static_cast<size_t>(i) * 300 + 7] = '\n';
  const std::string next = "second block\n";
  write_file(x.dir().file("t"), block + next);
  std::string view;
  for (char c : block + next) view += c == '\n' ? std::string("\r\n") : std::string(1, c);
  DownloadRun run = download(x, x.dir().file("t"), 0, true, view.size());
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.got.replies.back(), "SIZE " + std::to_string(view.size()));
  EXPECT_EQ(run.got.lengths(),
            Lengths({4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 100, next.size() + 1}));
  EXPECT_TRUE(same_bytes(run.got.data(), view));
}

TEST(TextDownload, FrameEndingOnTheCrOfAPairLeavesTheLfForTheNext) {
  Exchange x;
  // The LF's CR is byte 4096 of the client view.
  const std::string stored = std::string(4095, 'y') + "\nz";
  write_file(x.dir().file("t"), stored);
  DownloadRun run = download(x, x.dir().file("t"), 0, true, 4098);
  EXPECT_TRUE(run.result);
  ASSERT_EQ(run.got.frames.size(), 2u);
  EXPECT_EQ(run.got.frames[0], std::string(4095, 'y') + "\r");
  EXPECT_EQ(run.got.frames[1], "\nz");
}

TEST(TextDownload, ResumeScanSendsWaitWhenASecondHasPassed) {
  Exchange x;
  std::string stored = std::string(70000, 'q');
  stored[100] = '\n';
  write_file(x.dir().file("t"), stored);
  // Three blocks are scanned; the clock moves a second at every reading.
  DownloadRun run = download(x, x.dir().file("t"), 69000, true, 70001 - 69000, fast_clock);
  EXPECT_TRUE(run.result);
  EXPECT_EQ(std::vector<std::string>(run.got.replies.begin() + 3, run.got.replies.end()),
            std::vector<std::string>({"WAIT", "WAIT", "WAIT", "SIZE 70001"}));
  EXPECT_TRUE(same_bytes(run.got.data(), stored.substr(68999)));
}

// A clock that makes the file under download grow by a block at every
// reading, as a file that another program keeps appending to.
std::string growing_path;
int64_t growing_clock() {
  static int64_t t = 0;
  const int fd = open(growing_path.c_str(), O_WRONLY | O_APPEND);
  // Bounded, so that a scan that follows the growth still ends.
  if (fd >= 0 && lseek(fd, 0, SEEK_END) < 400000) {
    const std::string more(32768, 'g');
    EXPECT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  }
  if (fd >= 0) close(fd);
  return ++t;
}

TEST(TextDownload, ScanReadsNoMoreThanTheSizeFoundAtOpen) {
  Exchange x;
  growing_path = x.dir().file("growing");
  std::string stored = std::string(70000, 'q');
  stored[100] = '\n';
  write_file(growing_path, stored);
  DownloadRun run = download(x, growing_path, 69000, true, 70001 - 69000, growing_clock);
  EXPECT_TRUE(run.result);
  ASSERT_FALSE(run.got.replies.empty());
  EXPECT_EQ(run.got.replies.back(), "SIZE 70001");
  EXPECT_TRUE(same_bytes(run.got.data(), stored.substr(68999)));
}

TEST(TextDownload, KeyPressDuringTheScanEndsTheDownloadBeforeTheSize) {
  for (int32_t offset : {0, 1000}) {
    Exchange x;
    write_file(x.dir().file("t"), std::string(100000, 'q'));
    x.console().press_key();
    DownloadRun run = download(x, x.dir().file("t"), offset, true, 0);
    EXPECT_FALSE(run.result) << "offset " << offset;
    // The client hears nothing after the time and the attributes (its wait
    // for the next reply fails), just as after a key in the data phase.
    ASSERT_GE(run.got.replies.size(), 2u);
    for (const std::string& reply : run.got.replies) {
      EXPECT_NE(reply.rfind("SIZE ", 0), 0u) << reply << " offset " << offset;
    }
    EXPECT_TRUE(run.got.frames.empty());
    EXPECT_TRUE(abort_flag);
    EXPECT_TRUE(x.console().key_pending()) << "the key is left for the command loop";
    abort_flag = false;
  }
}

TEST(TextDownload, NoWaitWithoutAnOffset) {
  Exchange x;
  write_file(x.dir().file("t"), std::string(70000, 'q'));
  DownloadRun run = download(x, x.dir().file("t"), 0, true, 70000, fast_clock);
  EXPECT_TRUE(run.result);
  ASSERT_EQ(run.got.replies.size(), 3u);
  EXPECT_EQ(run.got.replies[2], "SIZE 70000");
}

TEST(Download, StarAfterEvery25thFrame) {
  Exchange x;
  const std::string content = pattern(4096 * 51);
  write_file(x.dir().file("f"), content);
  DownloadRun run = download(x, x.dir().file("f"), 0, false, content.size());
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.got.frames.size(), 51u);
  EXPECT_EQ(run.console, "**");
}

TEST(Download, KeyPressEndsTheDataPhaseAfterTheCurrentFrame) {
  Exchange x;
  const std::string content = pattern(4096 * 10);
  write_file(x.dir().file("f"), content);
  x.console().press_key();
  bool result = true;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    result = send_file(lines, console, whole_fs, x.dir().file("f"), 0, false);
  });
  Received got = receive_download(x.peer(), 4096);  // frame 1 only
  const uint64_t writes = server_writes(x);
  x.join();
  EXPECT_EQ(server_writes(x), writes) << "the server began another frame";
  EXPECT_FALSE(result);
  EXPECT_EQ(got.frames.size(), 1u);
  EXPECT_TRUE(abort_flag);
  EXPECT_TRUE(x.console().key_pending()) << "the key is left for the command loop";
}

TEST(Download, FileCutShortSendsTheCancelFrameAndFails) {
  Exchange x;
  const std::string path = x.dir().file("f");
  write_file(path, pattern(3 * 32768));
  bool result = true;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    result = send_file(lines, console, whole_fs, path, 0, false);
  });
  Received got = receive_download(x.peer(), 4096);
  // The file loses its last two blocks while the first is on its way.
  ASSERT_EQ(truncate(path.c_str(), 32768), 0);
  for (int32_t number = 2; number <= 8; ++number) {
    ASSERT_EQ(x.peer().receive_data(number, nullptr), RecvResult::RECV_OK) << number;
  }
  // The client is told by the cancel frame instead of waiting in vain for
  // frame 9 (which would end in RECV_FAILED).
  EXPECT_EQ(x.peer().receive_data(9, nullptr), RecvResult::RECV_REFUSED);
  x.join();
  EXPECT_EQ(got.replies.back(), "SIZE 98304");
  EXPECT_FALSE(result);
  EXPECT_FALSE(x.server().busy());
}

TEST(Download, UndeliveredReplyEndsWithoutData) {
  Exchange x;
  write_file(x.dir().file("f"), "abc");
  bool result = true;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    result = send_file(lines, console, whole_fs, x.dir().file("f"), 0, false);
  });
  x.join();  // nobody listens: "TIME " is not delivered
  EXPECT_FALSE(result);
  EXPECT_FALSE(x.server().busy());
}

TEST(Download, BusyLinkSendsNothing) {
  Exchange x;
  write_file(x.dir().file("f"), "abc");
  x.server().set_busy(true);
  testing::FakeConsole console;
  EXPECT_FALSE(send_file(x.server(), console, whole_fs, x.dir().file("f"), 0, false));
  EXPECT_EQ(x.cable().cable().writes(VirtualCable::kEndA), 0u);
}

/// The disk fails one read with EIO: the one numbered `failing` (from 1).
class FailingRead : public FileSystemWrapper {
 public:
  FailingRead(FileSystem& target, int failing) : FileSystemWrapper(target), failing_(failing) {}
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (++reads_ == failing_) {
      errno = EIO;
      return -1;
    }
    return FileSystemWrapper::read(fd, buffer, size);
  }

 private:
  int failing_;
  int reads_ = 0;
};

TEST(Download, ReadErrorInTheMiddleEndsTheDataOrRefusesTheFile) {
  // Three blocks of 32768 bytes without LF; a text download scans them all
  // (reads 1 to 3) before its data phase.
  struct {
    bool text;
    int failing;
    std::string last_reply;
    size_t frames;  // taken before the cancel frame
  } const cases[] = {
      {false, 1, "SIZE 98304", 0},
      {false, 2, "SIZE 98304", 8},
      {true, 2, "FILE ERROR 101", 0},  // the scan cannot tell the size
      {true, 5, "SIZE 98304", 8},      // the second block of the data phase
  };
  for (const auto& c : cases) {
    Exchange x;
    const std::string path = x.dir().file("f");
    std::string content(3 * 32768, 'x');
    write_file(path, content);
    FailingRead disk(whole_fs, c.failing);
    bool result = true;
    x.serve([&](Lines& lines, testing::FakeConsole& console) {
      result = send_file(lines, console, disk, path, 0, c.text);
    });
    Received got = receive_download(x.peer(), 0);
    ASSERT_FALSE(got.replies.empty());
    EXPECT_EQ(got.replies.back(), c.last_reply) << c.failing;
    if (c.last_reply.rfind("SIZE ", 0) == 0) {
      int32_t number = 1;
      for (; number <= static_cast<int32_t>(c.frames); ++number) {
        EXPECT_EQ(x.peer().receive_data(number, nullptr), RecvResult::RECV_OK) << number;
      }
      // The cancel frame, not a wait in vain for data that will not come.
      EXPECT_EQ(x.peer().receive_data(number, nullptr), RecvResult::RECV_REFUSED) << c.failing;
    }
    x.join();
    EXPECT_EQ(result, c.last_reply.rfind("FILE ERROR ", 0) == 0) << c.failing;
    EXPECT_EQ(testing::read_file(path), content);
  }
}

}  // namespace
}  // namespace tarnel
