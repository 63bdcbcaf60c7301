// What survives a power loss after every single file-system call of an
// upload and of the management commands: once a last frame is accepted or
// "OK" answered, the new state is on the disk; before, an overwritten file
// holds its whole old or its whole new content, and a new file is missing
// or a prefix of what was sent.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/wire_words.h"
#include "files/management.h"
#include "files/partial.h"
#include "files/upload.h"
#include "testing/power_loss_file_system.h"
#include "testing/result_printing.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::Exchange;
using testing::PowerLossFileSystem;
using testing::read_file;
using testing::send_upload;
using testing::write_file;

WholeFileSystem whole_fs;

const std::string kOld = testing::pattern(5000, 3);
const std::string kNew = testing::pattern(10000, 11);

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

/// One scenario: what is on the disk first, what the server and the client
/// do, and what must hold after a cut. `run` returns whether the server
/// answered for the new state (a last frame accepted, "OK").
struct Scenario {
  const char* name;
  std::function<void(const std::string& share)> prepare;
  std::function<bool(Exchange& x, FileSystem& fs, const std::string& share)> run;
  std::function<void(const std::string& share, bool answered)> check;
};

/// Uploads kNew, or its rest from `from` after a resume, to `path`.
bool upload(Exchange& x, FileSystem& fs, const std::string& path, int32_t from = 0) {
  PendingUpload u;
  u.name = path;
  u.resume_offset = from;
  u.reported_resume_offset = from;
  ReceiveResult result = ReceiveResult::RECEIVE_BUSY;
  x.serve([&](Lines& lines, testing::FakeConsole& console) {
    result = receive_file(lines, console, fs, u, static_cast<int32_t>(kNew.size()));
  });
  send_upload(x.peer(), kNew.substr(static_cast<size_t>(from)));
  x.join();
  return result == ReceiveResult::RECEIVE_STORED;
}

/// Runs a management command on the server; whether the client got "OK".
bool manage(Exchange& x, const std::function<void(Lines&)>& command) {
  x.serve([&](Lines& lines, testing::FakeConsole&) { command(lines); });
  const std::string reply = x.peer().reply();
  x.join();
  return reply == ANSWER_OK;
}

/// The overwritten target after a cut: whole old or whole new, and the new
/// one once accepted.
void check_overwrite(const std::string& share, bool answered) {
  const std::string got = read_file(share + "/f");
  if (answered) {
    EXPECT_TRUE(testing::same_bytes(got, kNew));
  } else {
    EXPECT_TRUE(got == kOld || got == kNew) << "a mix or a part: " << got.size() << " bytes";
  }
}

const Scenario kScenarios[] = {
    {"Overwrite", [](const std::string& share) { write_file(share + "/f", kOld); },
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       return upload(x, fs, share + "/f");
     },
     check_overwrite},
    {"ResumedOverwrite",
     [](const std::string& share) {
       write_file(share + "/f", kOld);
       write_file(partial_path(share + "/f"), kNew.substr(0, 6000));
     },
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       return upload(x, fs, share + "/f", 4096);
     },
     check_overwrite},
    {"NewFile", [](const std::string&) {},
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       return upload(x, fs, share + "/n");
     },
     [](const std::string& share, bool answered) {
       if (answered) {
         EXPECT_TRUE(testing::same_bytes(read_file(share + "/n"), kNew));
       } else if (exists(share + "/n")) {
         const std::string got = read_file(share + "/n");
         EXPECT_EQ(got, kNew.substr(0, got.size())) << "not a prefix of what was sent";
       }
     }},
    {"MakeDirectoryThenUploadIntoIt", [](const std::string&) {},
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       const bool made = manage(x, [&](Lines& lines) { make_directory(lines, fs, share + "/d"); });
       const bool stored = upload(x, fs, share + "/d/f");
       // Both answers count: "OK" for the folder, the last frame for the file.
       if (made) {
         EXPECT_TRUE(exists(share + "/d")) << "answered \"OK\" before it was durable";
       }
       return stored;
     },
     [](const std::string& share, bool answered) {
       if (answered) {
         EXPECT_TRUE(testing::same_bytes(read_file(share + "/d/f"), kNew));
       }
     }},
    {"RenameOntoAnExistingFile",
     [](const std::string& share) {
       write_file(share + "/a", kNew);
       write_file(share + "/b", kOld);
     },
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       return manage(x, [&](Lines& lines) { rename_file(lines, fs, share + "/a", share + "/b"); });
     },
     [](const std::string& share, bool answered) {
       const std::string a = share + "/a";
       const std::string b = share + "/b";
       const bool renamed = !exists(a) && exists(b) && read_file(b) == kNew;
       const bool as_before =
           exists(a) && exists(b) && read_file(a) == kNew && read_file(b) == kOld;
       if (answered) {
         EXPECT_TRUE(renamed);
       } else {
         EXPECT_TRUE(renamed || as_before);
       }
     }},
    {"Delete", [](const std::string& share) { write_file(share + "/f", kOld); },
     [](Exchange& x, FileSystem& fs, const std::string& share) {
       return manage(x, [&](Lines& lines) { delete_file(lines, fs, share + "/f"); });
     },
     [](const std::string& share, bool answered) {
       if (answered) {
         EXPECT_FALSE(exists(share + "/f"));
       } else if (exists(share + "/f")) {
         EXPECT_EQ(read_file(share + "/f"), kOld);
       }
     }},
};

class PowerLoss : public ::testing::TestWithParam<Scenario> {};

TEST_P(PowerLoss, AfterEveryCallWhatWasAnsweredForSurvives) {
  const Scenario& s = GetParam();
  // Uncut first: how many calls there are, and that the scenario succeeds.
  int calls;
  {
    Exchange x;
    const std::string share = x.dir().file("share");
    ASSERT_EQ(::mkdir(share.c_str(), 0755), 0);
    s.prepare(share);
    PowerLossFileSystem fs(whole_fs, share);
    ASSERT_TRUE(s.run(x, fs, share));
    calls = fs.calls();
    s.check(share, true);
  }
  ASSERT_GT(calls, 0);
  for (int cut = 1; cut <= 2 * calls; ++cut) {
    // Each cut twice: with the data not yet synced lost, and with them on
    // the disk all the same.
    const bool keep = cut > calls;
    SCOPED_TRACE("power lost after call " + std::to_string(keep ? cut - calls : cut) + " of " +
                 std::to_string(calls) + (keep ? ", unsynced data kept" : ", unsynced data lost"));
    Exchange x;
    const std::string share = x.dir().file("share");
    ASSERT_EQ(::mkdir(share.c_str(), 0755), 0);
    s.prepare(share);
    PowerLossFileSystem fs(whole_fs, share);
    fs.keep_unsynced_data(keep);
    fs.cut_after(keep ? cut - calls : cut);
    const bool answered = s.run(x, fs, share);
    ASSERT_TRUE(fs.lost_power());
    s.check(share, answered);
    if (::testing::Test::HasFailure()) break;  // one cut tells enough
  }
}

INSTANTIATE_TEST_SUITE_P(Cuts, PowerLoss, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace tarnel
