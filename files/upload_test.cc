#include "files/upload.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/errors.h"
#include "files/file_state.h"
#include "files/file_system.h"
#include "files/metadata.h"
#include "files/resume.h"
#include "link/text.h"
#include "testing/result_printing.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::Exchange;
using testing::read_file;
using testing::same_bytes;
using testing::send_upload;
using testing::write_file;

/// The result before receive_file has given one: none of its results.
constexpr ReceiveResult kNoResult = static_cast<ReceiveResult>(-1);

/// Starts receive_file for `size` bytes of the upload `u` of `path` on the
/// server end; the result lands in *result.
void serve_upload(Exchange& x, const std::string& path, int32_t size, PendingUpload u,
                  ReceiveResult* result) {
  u.name = path;
  x.serve([&x, u, size, result](Lines& lines, testing::FakeConsole& console) {
    (void)x;
    *result = receive_file(lines, console, whole_fs, u, size);
  });
}

std::string pattern(size_t n) { return testing::pattern(n, 7); }

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != "test.cable") names.push_back(name);
  }
  closedir(d);
  return names;
}

TEST(Upload, NewFileInSeveralFramesEndsWithTheLastOne) {
  Exchange x;
  const std::string content = pattern(10000);
  ReceiveResult result = kNoResult;
  serve_upload(x, x.dir().file("new"), static_cast<int32_t>(content.size()), {}, &result);
  EXPECT_EQ(
      send_upload(x.peer(), content),
      std::vector<SendResult>({SendResult::SEND_OK, SendResult::SEND_OK, SendResult::SEND_OK}));
  // Had the server waited for a fourth frame, it would have failed.
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("new")), content));
  EXPECT_EQ(x.console().output(), "");
  EXPECT_FALSE(x.server().busy());
}

TEST(Upload, FrameCarryingTheCountPastTheSizeWaitsForAnother) {
  Exchange x;
  ReceiveResult result = kNoResult;
  serve_upload(x, x.dir().file("f"), 5, {}, &result);
  EXPECT_EQ(x.peer().send_data(1, "0123456789"), SendResult::SEND_OK);
  EXPECT_EQ(x.peer().send_data(FRAME_CANCEL, ""), SendResult::SEND_REFUSED);
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
  EXPECT_EQ(x.console().output(), "10 ERROR\n");
}

TEST(Upload, SizeZeroCreatesOrTruncatesAnEmptyFile) {
  Exchange x;
  write_file(x.dir().file("old"), "old content");
  for (const char* name : {"old", "new"}) {
    ReceiveResult result = kNoResult;
    serve_upload(x, x.dir().file(name), 0, {}, &result);
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED) << name;
    struct stat st;
    ASSERT_EQ(stat(x.dir().file(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, 0) << name;
  }
}

TEST(Upload, EmptyFileThatCannotBeCreatedFails) {
  Exchange x;
  ReceiveResult result = kNoResult;
  serve_upload(x, x.dir().file("missing/f"), 0, {}, &result);
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_CREATE_FAILED);
  EXPECT_EQ(io_error, 0) << "the error is taken";
}

TEST(Upload, TextModeDropsEveryCr) {
  struct {
    std::string sent;
    std::string stored;
  } const cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"x\ry", "xy"},
      {"\r\r\r", ""},
  };
  for (const auto& c : cases) {
    Exchange x;
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.text = true;
    serve_upload(x, x.dir().file("t"), static_cast<int32_t>(c.sent.size()), u, &result);
    EXPECT_EQ(send_upload(x.peer(), c.sent), std::vector<SendResult>({SendResult::SEND_OK}));
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
    EXPECT_TRUE(same_bytes(read_file(x.dir().file("t")), c.stored));
  }
}

TEST(Upload, FileThatCannotBeCreatedRefusesTheFirstFrame) {
  Exchange x;
  ReceiveResult result = kNoResult;
  serve_upload(x, x.dir().file("missing/f"), 8192, {}, &result);
  EXPECT_EQ(send_upload(x.peer(), pattern(8192)),
            std::vector<SendResult>({SendResult::SEND_REFUSED}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
  EXPECT_EQ(x.console().output(), "0 ERROR\n");
  EXPECT_FALSE(x.server().busy());
}

TEST(Upload, NoPendingUploadFailsWithoutCreatingAnything) {
  for (int32_t size : {0, 100}) {
    Exchange x;
    ReceiveResult result = kNoResult;
    serve_upload(x, "", size, {}, &result);
    if (size > 0) {
      // Nothing can be written: the first frame is refused already.
      EXPECT_EQ(x.peer().send_data(1, std::string(100, 'x')), SendResult::SEND_REFUSED);
    }
    x.join();
    EXPECT_NE(result, ReceiveResult::RECEIVE_STORED) << size;
    EXPECT_TRUE(entries(x.dir().path()).empty());
  }
}

TEST(Upload, ClientCancelsOrSendsAWrongNumber) {
  struct {
    int32_t second_number;
    SendResult peer_result;
    ReceiveResult result;
  } const cases[] = {
      {FRAME_CANCEL, SendResult::SEND_REFUSED, ReceiveResult::RECEIVE_REFUSED},
      {3, SendResult::SEND_ABORTED, ReceiveResult::RECEIVE_REFUSED},  // one away
      {9, SendResult::SEND_ABORTED, ReceiveResult::RECEIVE_FAILED},   // further away
  };
  for (const auto& c : cases) {
    Exchange x;
    ReceiveResult result = kNoResult;
    serve_upload(x, x.dir().file("f"), 10000, {}, &result);
    EXPECT_EQ(x.peer().send_data(1, pattern(4096)), SendResult::SEND_OK);
    EXPECT_EQ(x.peer().send_data(c.second_number, pattern(100)), c.peer_result);
    x.join();
    EXPECT_EQ(result, c.result) << c.second_number;
    EXPECT_EQ(x.console().output(), "4096 ERROR\n");
    EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), pattern(4096))) << "what came stays";
  }
}

TEST(Upload, StarWhenTheNextExpectedNumberIsAMultipleOf25) {
  Exchange x;
  ReceiveResult result = kNoResult;
  serve_upload(x, x.dir().file("f"), 50 * 10, {}, &result);
  send_upload(x.peer(), pattern(500), 10);
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_EQ(x.console().output(), "**");  // after frames 24 and 49
}

TEST(Upload, TimeStampBeforeClosingAndAttributesAfter) {
  Exchange x;
  PendingUpload u;
  u.time_stamp = 684682671;  // 2000-06-15 13:45:30 local time
  u.attributes = 33;         // read-only
  for (int32_t size : {3, 0}) {
    const std::string path = x.dir().file("stamped" + std::to_string(size));
    ReceiveResult result = kNoResult;
    serve_upload(x, path, size, u, &result);
    if (size) send_upload(x.peer(), "abc");
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 961076730 + int64_t{time_zone_offset} * 60) << size;
    EXPECT_EQ(st.st_mode & S_IWUSR, 0u) << size;
  }
}

TEST(Upload, BusyLinkReceivesNothing) {
  Exchange x;
  x.server().set_busy(true);
  testing::FakeConsole console;
  EXPECT_EQ(receive_file(x.server(), console, whole_fs, {x.dir().file("f")}, 0),
            ReceiveResult::RECEIVE_BUSY);
  EXPECT_TRUE(entries(x.dir().path()).empty());
}

// ---- Resumed uploads ---------------------------------------------------------

TEST(ResumedUpload, NothingLeftToReceiveLeavesTheFileAlone) {
  struct {
    int32_t size, resume, reported;
    bool text;
  } const cases[] = {
      {5120, 5120, 5120, false}, {5200, 5120, 5200, true},  // text: the client view is complete
  };
  for (const auto& c : cases) {
    Exchange x;
    const std::string stored = pattern(9000);
    write_file(x.dir().file("f"), stored);
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.resume_offset = c.resume;
    u.reported_resume_offset = c.reported;
    u.text = c.text;
    serve_upload(x, x.dir().file("f"), c.size, u, &result);
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
    EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), stored));
  }
}

TEST(ResumedUpload, NothingToReceiveNeedsTheStoredPart) {
  // Size equal to the resume offset: the stored file must hold that much.
  struct {
    const char* name;
    int stored;  // -1: no file
    int32_t size, resume, reported;
    bool text;
  } const cases[] = {
      {"missing", -1, 5120, 5120, 5120, false},
      {"shorter", 1000, 5120, 5120, 5120, false},
      {"one byte short", 5119, 5120, 5120, 5120, false},
      {"text, shorter", 1000, 5200, 5120, 5200, true},
  };
  for (const auto& c : cases) {
    Exchange x;
    const std::string path = x.dir().file("f");
    if (c.stored >= 0) write_file(path, pattern(static_cast<size_t>(c.stored)));
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.resume_offset = c.resume;
    u.reported_resume_offset = c.reported;
    u.text = c.text;
    serve_upload(x, path, c.size, u, &result);
    x.join();
    EXPECT_NE(result, ReceiveResult::RECEIVE_STORED) << c.name;
    if (c.stored >= 0) {
      EXPECT_TRUE(same_bytes(read_file(path), pattern(static_cast<size_t>(c.stored)))) << c.name;
    } else {
      EXPECT_NE(access(path.c_str(), F_OK), 0) << c.name;
    }
    EXPECT_FALSE(x.server().busy());
  }
}

TEST(ResumedUpload, StoredFileShorterThanTheOffsetRefusesTheFirstFrame) {
  // A write at the resume offset would leave a hole of zeros before it.
  for (int stored : {-1, 0, 1000, 5119}) {
    Exchange x;
    const std::string path = x.dir().file("f");
    const std::string client = pattern(12000);
    if (stored >= 0) write_file(path, client.substr(0, static_cast<size_t>(stored)));
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.resume_offset = u.reported_resume_offset = 5120;
    serve_upload(x, path, 12000, u, &result);
    EXPECT_EQ(send_upload(x.peer(), client.substr(5120)),
              std::vector<SendResult>({SendResult::SEND_REFUSED}))
        << stored;
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED) << stored;
    EXPECT_EQ(x.console().output(), "5120 ERROR\n") << stored;
    if (stored >= 0) {
      EXPECT_TRUE(same_bytes(read_file(path), client.substr(0, static_cast<size_t>(stored))))
          << stored;
    } else {
      EXPECT_NE(access(path.c_str(), F_OK), 0);
    }
  }
}

TEST(ResumedUpload, StoredFileOfExactlyTheOffsetGoesOn) {
  Exchange x;
  const std::string client = pattern(8000);
  write_file(x.dir().file("f"), client.substr(0, 5120));
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = 5120;
  serve_upload(x, x.dir().file("f"), 8000, u, &result);
  EXPECT_EQ(send_upload(x.peer(), client.substr(5120)),
            std::vector<SendResult>({SendResult::SEND_OK}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), client));
}

TEST(ResumedUpload, RawMatchingBytesGoOnFromTheOffset) {
  Exchange x;
  const std::string client = pattern(12000);
  write_file(x.dir().file("f"), client.substr(0, 10000));
  existing_file_open_mode = O_RDONLY;  // as after a download
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = 5120;
  serve_upload(x, x.dir().file("f"), 12000, u, &result);
  EXPECT_EQ(send_upload(x.peer(), client.substr(5120)),
            std::vector<SendResult>({SendResult::SEND_OK, SendResult::SEND_OK}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), client));
  EXPECT_EQ(x.console().output(), "");
  EXPECT_EQ(existing_file_open_mode, O_RDWR);
}

TEST(ResumedUpload, RawMismatchRefusesTheFirstFrame) {
  Exchange x;
  const std::string client = pattern(12000);
  std::string stored = client.substr(0, 10000);
  stored[5120 + 300] ^= 1;
  write_file(x.dir().file("f"), stored);
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = 5120;
  serve_upload(x, x.dir().file("f"), 12000, u, &result);
  EXPECT_EQ(send_upload(x.peer(), client.substr(5120)),
            std::vector<SendResult>({SendResult::SEND_REFUSED}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
  EXPECT_EQ(x.console().output(), "Error, source and target different!\n5120 ERROR\n");
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), stored));
}

TEST(ResumedUpload, ShortFirstFrameIsComparedOnlyAsFarAsItGoes) {
  for (bool differ : {false, true}) {
    Exchange x;
    const std::string client = pattern(12000);
    std::string stored = client.substr(0, 10000);
    if (differ) stored[5120 + 50] ^= 1;
    write_file(x.dir().file("f"), stored);
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.resume_offset = u.reported_resume_offset = 5120;
    serve_upload(x, x.dir().file("f"), 12000, u, &result);
    std::vector<SendResult> sent = {x.peer().send_data(1, client.substr(5120, 100))};
    if (!differ) {
      for (SendResult r : send_upload(x.peer(), client.substr(5220), 4096, 2)) sent.push_back(r);
    }
    x.join();
    if (differ) {
      EXPECT_EQ(sent, std::vector<SendResult>({SendResult::SEND_REFUSED}));
      EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
    } else {
      EXPECT_EQ(sent, std::vector<SendResult>(
                          {SendResult::SEND_OK, SendResult::SEND_OK, SendResult::SEND_OK}));
      EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
      EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), client));
    }
  }
}

TEST(ResumedUpload, FewerThan512StoredBytesAfterTheOffsetSkipTheComparison) {
  Exchange x;
  write_file(x.dir().file("f"), std::string(5300, 's'));
  search_error = 18;
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = 5120;
  serve_upload(x, x.dir().file("f"), 5120 + 1000, u, &result);
  EXPECT_EQ(send_upload(x.peer(), std::string(1000, 'n')),
            std::vector<SendResult>({SendResult::SEND_OK}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_TRUE(
      same_bytes(read_file(x.dir().file("f")), std::string(5120, 's') + std::string(1000, 'n')));
  EXPECT_EQ(search_error, 0);
}

/// A client file with CR LF line ends, and the same text as stored (LF).
struct TextPair {
  std::string client, stored;
};

TextPair text_pair(size_t lines) {
  TextPair t;
  for (size_t i = 0; i < lines; ++i) {
    std::string line = "line " + std::to_string(i) + " of the text";
    t.client += line + "\r\n";
    t.stored += line + "\n";
  }
  return t;
}

TEST(ResumedUpload, TextComparesOnlyTheBytesThatAreStored) {
  Exchange x;
  const TextPair t = text_pair(1000);
  write_file(x.dir().file("t"), t.stored);
  const int32_t resume = 5120;
  int32_t reported = resume;
  for (int32_t i = 0; i < resume; ++i) reported += t.stored[static_cast<size_t>(i)] == '\n';
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = resume;
  u.reported_resume_offset = reported;
  u.text = true;
  serve_upload(x, x.dir().file("t"), static_cast<int32_t>(t.client.size()), u, &result);
  for (SendResult r : send_upload(x.peer(), t.client.substr(static_cast<size_t>(reported)))) {
    EXPECT_EQ(r, SendResult::SEND_OK);
  }
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_STORED);
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("t")), t.stored));
  EXPECT_EQ(x.console().output(), "");
}

TEST(ResumedUpload, TextMismatchListsThePositionsFromTheFirstDifference) {
  Exchange x;
  const int32_t resume = 5120;
  const std::string stored =
      std::string(static_cast<size_t>(resume), 's') + "a\n" + std::string(600, 'z');
  write_file(x.dir().file("t"), stored);
  std::string frame = "a\r\n" + std::string(600, 'z');
  frame[510] = 'Q';  // compared with stored byte 509 after the resume offset
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = resume;
  u.text = true;
  serve_upload(x, x.dir().file("t"), static_cast<int32_t>(resume + frame.size()), u, &result);
  EXPECT_EQ(x.peer().send_data(1, frame), SendResult::SEND_REFUSED);
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
  EXPECT_EQ(x.console().output(),
            "510:Q-z   511:z-z   Error, source and target different!\n5120 ERROR\n");
  EXPECT_TRUE(same_bytes(read_file(x.dir().file("t")), stored));
}

TEST(ResumedUpload, TextMismatchShowsControlBytesInAVisibleForm) {
  Exchange x;
  const int32_t resume = 5120;
  std::string stored =
      std::string(static_cast<size_t>(resume), 's') + "a\n" + std::string(600, 'z');
  stored[static_cast<size_t>(resume) + 509] = '\x1b';
  write_file(x.dir().file("t"), stored);
  std::string frame = "a\r\n" + std::string(600, 'z');
  frame[510] = '\x07';  // compared with the stored ESC
  ReceiveResult result = kNoResult;
  PendingUpload u;
  u.resume_offset = u.reported_resume_offset = resume;
  u.text = true;
  serve_upload(x, x.dir().file("t"), static_cast<int32_t>(resume + frame.size()), u, &result);
  EXPECT_EQ(x.peer().send_data(1, frame), SendResult::SEND_REFUSED);
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_REFUSED);
  EXPECT_EQ(x.console().output(),
            "510:^G-^[   511:z-z   Error, source and target different!\n5120 ERROR\n");
}

// ---- A write that fails --------------------------------------------------------

/// Runs receive_file in a child whose files may not grow past `limit` bytes.
/// Returns the child's result.
int upload_with_size_limit(Exchange& x, const std::string& path, int32_t size, rlim_t limit,
                           const std::string& data, std::vector<SendResult>* sent) {
  const pid_t child = fork();
  if (child < 0) return -100;
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    rlimit lim{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(100);
    testing::FakeConsole console;
    Lines lines = x.cable().server_lines();
    _exit(static_cast<int>(receive_file(lines, console, whole_fs, {path}, size)));
  }
  *sent = send_upload(x.peer(), data);
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -101;
  return WEXITSTATUS(status);
}

TEST(Upload, FrameWhoseWriteFailsIsRefusedItselfAndWhatWasWrittenStays) {
  struct {
    size_t bytes;
    rlim_t limit;
    std::vector<SendResult> sent;
  } const cases[] = {
      // Refused: the second frame, and the next one is not sent.
      {3 * 4096, 5000, {SendResult::SEND_OK, SendResult::SEND_REFUSED}},
      {2 * 4096, 5000, {SendResult::SEND_OK, SendResult::SEND_REFUSED}},  // the last frame
      {3000, 1000, {SendResult::SEND_REFUSED}},                           // the only frame
  };
  for (const auto& c : cases) {
    Exchange x;
    const std::string data = pattern(c.bytes);
    std::vector<SendResult> sent;
    EXPECT_EQ(upload_with_size_limit(x, x.dir().file("f"), static_cast<int32_t>(c.bytes), c.limit,
                                     data, &sent),
              static_cast<int>(ReceiveResult::RECEIVE_WRITE_FAILED))
        << c.bytes;
    EXPECT_EQ(sent, c.sent) << c.bytes;
    EXPECT_TRUE(same_bytes(read_file(x.dir().file("f")), data.substr(0, c.limit))) << c.bytes;
  }
}

TEST(Upload, WriteToAFullDeviceRefusesTheFrame) {
  // /dev/full takes every open and refuses every write (ENOSPC).
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  Exchange x;
  ReceiveResult result = kNoResult;
  serve_upload(x, "/dev/full", 3000, {}, &result);
  EXPECT_EQ(send_upload(x.peer(), pattern(3000)),
            std::vector<SendResult>({SendResult::SEND_REFUSED}));
  x.join();
  EXPECT_EQ(result, ReceiveResult::RECEIVE_WRITE_FAILED);
  EXPECT_EQ(x.console().output(), "0 ERROR\n");
}

/// A disk on which one kind of call fails with EIO from its `from`-th use on:
/// the failures a real disk shows only when it is dying or full.
class FailingCall : public FileSystemWrapper {
 public:
  enum class Call { kWrite, kSync, kClose, kRename, kSyncDirectory };
  FailingCall(FileSystem& target, Call call, int from)
      : FileSystemWrapper(target), call_(call), from_(from) {}

  ssize_t write(int fd, const void* buffer, size_t size) override {
    return fails(Call::kWrite) ? -1 : target().write(fd, buffer, size);
  }
  int sync(int fd) override { return fails(Call::kSync) ? -1 : target().sync(fd); }
  int close(int fd) override {
    // The descriptor goes all the same, as close(2) releases it.
    const int closed = target().close(fd);
    return fails(Call::kClose) ? -1 : closed;
  }
  int rename(const std::string& source, const std::string& to) override {
    return fails(Call::kRename) ? -1 : target().rename(source, to);
  }
  int sync_directory(const std::string& path) override {
    return fails(Call::kSyncDirectory) ? -1 : target().sync_directory(path);
  }

 private:
  bool fails(Call call) {
    if (call != call_ || ++uses_ < from_) return false;
    errno = EIO;
    return true;
  }
  Call call_;
  int from_;
  int uses_ = 0;
};

// Whatever step of an overwrite fails, the client is told before it may
// drop its copy: the frame being stored, or the last one while the file is
// made whole, is refused. Until the new file has taken the old one's name
// the old one is there as it was.
TEST(Upload, OverwriteWhoseDiskFailsIsRefusedAndKeepsTheOldFile) {
  using Call = FailingCall::Call;
  const SendResult ok = SendResult::SEND_OK;
  const SendResult refused = SendResult::SEND_REFUSED;
  struct {
    const char* what;
    Call call;
    int from;
    std::vector<SendResult> sent;
    bool old_kept;
  } const cases[] = {
      {"the second frame's write", Call::kWrite, 2, {ok, refused}, true},
      {"the last frame's write", Call::kWrite, 3, {ok, ok, refused}, true},
      {"the sync of the whole file", Call::kSync, 1, {ok, ok, refused}, true},
      // (The first close is that of the old file, opened to ask whether the
      // server may write it.)
      {"the close of the whole file", Call::kClose, 2, {ok, ok, refused}, true},
      {"the rename into the old file's place", Call::kRename, 1, {ok, ok, refused}, true},
      // The new file has its name; whether that is on the disk is not known,
      // so the client keeps its copy.
      {"the sync of the folder", Call::kSyncDirectory, 1, {ok, ok, refused}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange x;
    const std::string path = x.dir().file("f");
    const std::string old = testing::pattern(10000, 3);
    write_file(path, old);
    const std::string data = pattern(3 * 4096);
    FailingCall disk(whole_fs, c.call, c.from);
    ReceiveResult result = kNoResult;
    PendingUpload u;
    u.name = path;
    x.serve([&](Lines& lines, testing::FakeConsole& console) {
      result = receive_file(lines, console, disk, u, static_cast<int32_t>(data.size()));
    });
    EXPECT_EQ(send_upload(x.peer(), data), c.sent);
    x.join();
    EXPECT_EQ(result, ReceiveResult::RECEIVE_WRITE_FAILED);
    EXPECT_TRUE(same_bytes(read_file(path), c.old_kept ? old : data));
  }
}

}  // namespace
}  // namespace tarnel
