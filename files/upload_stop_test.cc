// An upload asked to stop (a service manager stopping the server): the frame
// under way is stored, the next one refused, and the file holds exactly the
// accepted frames.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "files/file_system.h"
#include "files/upload.h"
#include "testing/literal_peer.h"
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

/// A console on which the stop is asked from the `from`th look on (1: the
/// first look, before the first frame).
class StoppingConsole : public testing::FakeConsole {
 public:
  explicit StoppingConsole(int from) : from_(from) {}
  bool stop_requested() override { return ++looks_ >= from_; }

 private:
  const int from_;
  std::atomic<int> looks_{0};
};

const std::string kContent = testing::pattern(10000, 3);  // frames of 4096, 4096, 1808

struct Case {
  int stop_from;  // the look at which the stop is asked
  std::vector<SendResult> sent;
  size_t kept;  // bytes on disk; 0 with no file at all
};

const Case kCases[] = {
    {1, {SendResult::SEND_REFUSED}, 0},
    {2, {SendResult::SEND_OK, SendResult::SEND_REFUSED}, 4096},
    {3, {SendResult::SEND_OK, SendResult::SEND_OK, SendResult::SEND_REFUSED}, 8192},
    {4, {SendResult::SEND_OK, SendResult::SEND_OK, SendResult::SEND_OK}, 10000},
};

/// The upload's result, the file and the console as the case says.
void expect_kept(const Case& c, ReceiveResult result, const std::string& path,
                 const std::string& console) {
  const bool all = c.kept == kContent.size();
  EXPECT_EQ(result, all ? ReceiveResult::RECEIVE_STORED : ReceiveResult::RECEIVE_REFUSED);
  struct stat st;
  if (c.kept == 0) {
    EXPECT_NE(stat(path.c_str(), &st), 0) << "a file made for no accepted frame";
  } else {
    EXPECT_TRUE(same_bytes(read_file(path), kContent.substr(0, c.kept)));
  }
  EXPECT_EQ(console, all ? "" : std::to_string(c.kept) + " ERROR\n");
}

TEST(UploadStop, FrameUnderWayIsStoredTheNextRefused) {
  const std::string& content = kContent;
  for (const Case& c : kCases) {
    SCOPED_TRACE("stop from look " + std::to_string(c.stop_from));
    Exchange x;
    const std::string path = x.dir().file("up.bin");
    StoppingConsole console(c.stop_from);
    ReceiveResult result = ReceiveResult::RECEIVE_BUSY;
    PendingUpload upload;
    upload.name = path;
    x.serve([&](Lines& lines, testing::FakeConsole&) {
      result = receive_file(lines, console, whole_fs, upload, static_cast<int32_t>(content.size()));
    });
    EXPECT_EQ(send_upload(x.peer(), content), c.sent);
    x.join();
    expect_kept(c, result, path, console.output());
  }
}

// The same from the peer written from the link's rules alone, on a fast and
// on a slow cable.
TEST(UploadStop, LiteralPeerSeesTheRefusal) {
  for (uint32_t bus_ns : {0u, 1000u}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE("bus_ns " + std::to_string(bus_ns) + ", stop from look " +
                   std::to_string(c.stop_from));
      testing::CablePair cable(bus_ns);
      testing::LiteralPeer peer(cable);
      Lines server = cable.server_lines();
      const std::string path = cable.dir().file("up.bin");
      StoppingConsole console(c.stop_from);
      ReceiveResult result = ReceiveResult::RECEIVE_BUSY;
      PendingUpload upload;
      upload.name = path;
      std::thread thread([&] {
        result =
            receive_file(server, console, whole_fs, upload, static_cast<int32_t>(kContent.size()));
      });
      std::vector<SendResult> sent;
      for (int32_t n = 1; static_cast<size_t>(n - 1) * 4096 < kContent.size(); ++n) {
        sent.push_back(peer.send_frame(n, std::string_view(kContent).substr((n - 1) * 4096, 4096)));
        if (sent.back() != SendResult::SEND_OK) break;
      }
      thread.join();
      EXPECT_EQ(sent, c.sent);
      expect_kept(c, result, path, console.output());
    }
  }
}

}  // namespace
}  // namespace tarnel
