// The server's command loop fed arbitrary sequences of commands and data
// frames by a client that lives in the port, against a scratch directory.
//
// Input: items separated by "\n", at most kMaxItems of them.
//   0x01 n payload  a data frame with number n (0xFF: the cancel frame -1);
//                   a byte 0x02 of the payload stands for "\n"
//   0x03            the next frame the server sends is refused
//   anything else   a command text, sent as a frame with number 0
// Commands go to the server as they are: the server serves the scratch
// directory as its root (the confined file system of --root), so every
// path, "..", a drive letter and the links below included, must stay
// inside it. The scratch directory holds, at the start of each input, links
// that lead out: "up" -> "..", "out" -> "../out", "sentinel" ->
// "../out/sentinel" and "abs" -> the outside directory's absolute path.
// After each input the directory beside the scratch directory must be as it
// was (its entries, the sentinel's bytes, mode and time), and neither the
// scratch directory's parent nor the fuzzer's working directory hold
// anything new: no file outside the scratch directory is touched.
//
// The client answers every byte at once and begins its next frame when the
// server waits (a sleep with no write since the one before, or 10000 reads
// without a write); sleeps are counted, not taken, and the port keeps a time
// of its own.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "commands/command_loop.h"
#include "files/confined_file_system.h"
#include "files/errors.h"
#include "files/resume.h"
#include "link/frame.h"
#include "link/lines.h"
#include "link/text.h"
#include "link/virtual_cable.h"

namespace {

constexpr uint16_t kBase = 0x378;
constexpr size_t kMaxItems = 64;
/// Far more reads than any legal sequence of kMaxItems exchanges takes,
/// each of whose waits ends within about 210 000 reads.
constexpr uint64_t kReadLimit = 400'000'000;

std::string base_dir, scratch_dir, outside_dir;
/// What the fuzzer's working directory holds at the start: a path taken
/// relative to it would land there.
std::set<std::string> working_entries;
/// The sentinel's status at the start.
struct stat sentinel_status;

class ClientInPort : public tarnel::Port, public tarnel::Console {
 public:
  std::deque<std::vector<uint8_t>> frames;  // wire bytes, in order
  std::deque<bool> refusals;                // per queued frame: refuse the next received one first
  uint64_t reads = 0;

  bool claim(int, uint16_t, std::string*) override { return true; }

  uint8_t port_in(uint16_t address) override {
    if (address != kBase + 1) return 0xFF;
    if (++reads > kReadLimit) {
      std::fprintf(stderr, "the command loop ran past %llu reads\n",
                   static_cast<unsigned long long>(kReadLimit));
      std::abort();
    }
    if (++reads_since_write_ >= 10000) maybe_begin();
    return tarnel::VirtualCable::status_for(d_);
  }

  void port_out(uint16_t address, uint8_t value) override {
    if (address != kBase) return;
    if (value & tarnel::Lines::kDataUnwired) std::abort();  // bits 5-7 of the data lines stay 0
    reads_since_write_ = 0;
    sleeps_since_write_ = 0;
    const bool high = value & tarnel::Lines::kDataHandshake;
    switch (mode_) {
      case Mode::kIdle:
        if (high) begin_receiving(value);
        break;
      case Mode::kSending:
        sending(high, value);
        break;
      case Mode::kReceiving:
        receiving(high, value);
        break;
    }
  }

  void sleep_ms(unsigned ms) override {
    slept_us_ += uint64_t{ms} * 1000;
    if (++sleeps_since_write_ >= 2) maybe_begin();
  }
  // The server's short sleeps while it watches for a late client; the
  // client has begun whatever it begins within the first 10000 reads.
  void sleep_us(unsigned us) override { slept_us_ += us; }
  // The port's own time: a read takes 1 us, as on a real port.
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point() +
           std::chrono::microseconds(static_cast<int64_t>(reads + slept_us_));
  }

  // The console: the key is pressed once the client has nothing more to do
  // and the server waits.
  // TARNEL_FUZZ_VERBOSE=1 shows the server's console, to see what an input does.
  void write(std::string_view text) override {
    if (verbose) std::fwrite(text.data(), 1, text.size(), stderr);
  }
  void end_line() override {
    if (verbose) std::fputc('\n', stderr);
  }
  bool verbose = std::getenv("TARNEL_FUZZ_VERBOSE") != nullptr;
  // (The server also looks at the key between the frames of a download: the
  // key is pressed only when it waits.)
  bool key_pending() override {
    return frames.empty() && mode_ == Mode::kIdle && sleeps_since_write_ >= 2;
  }

  void refuse_next() { refuse_next_ = true; }

 private:
  enum class Mode { kIdle, kSending, kReceiving };

  void maybe_begin() {
    if (mode_ != Mode::kIdle || frames.empty()) return;
    sending_ = std::move(frames.front());
    frames.pop_front();
    if (!refusals.empty()) {
      refuse_next_ = refuse_next_ || refusals.front();
      refusals.pop_front();
    }
    mode_ = Mode::kSending;
    position_ = 0;
    second_half_ = false;
    resends_ = 0;
    d_ = first_half(sending_[0]);
  }

  void sending(bool high, uint8_t value) {
    if (!second_half_) {
      if (!high) return;
      d_ = static_cast<uint8_t>(sending_[position_] >> 4);
      second_half_ = true;
      return;
    }
    if (high) return;
    const uint8_t code = value & tarnel::Lines::kDataNibble;
    second_half_ = false;
    if (code == tarnel::REPLY_RESEND && ++resends_ <= 20) {
      position_ = 0;
    } else if (code == tarnel::REPLY_RESEND || code == tarnel::REPLY_WRONG_NUMBER ||
               code == tarnel::REPLY_REFUSE || ++position_ == sending_.size()) {
      mode_ = Mode::kIdle;
      d_ = 0x00;
      return;
    }
    d_ = first_half(sending_[position_]);
  }

  void begin_receiving(uint8_t value) {
    mode_ = Mode::kReceiving;
    received_.clear();
    low_ = value & tarnel::Lines::kDataNibble;
    second_half_ = true;
    d_ = tarnel::Lines::kDataHandshake;
  }

  void receiving(bool high, uint8_t value) {
    if (!second_half_) {
      if (!high) return;
      low_ = value & tarnel::Lines::kDataNibble;
      second_half_ = true;
      d_ = tarnel::Lines::kDataHandshake;
      return;
    }
    if (high) return;
    second_half_ = false;
    received_.push_back(static_cast<uint8_t>(low_ | (value & tarnel::Lines::kDataNibble) << 4));
    const size_t n = received_.size();
    uint8_t code = tarnel::REPLY_ACCEPT;
    bool done = false;
    if (n <= 4 && received_[n - 1] != tarnel::FRAME_MAGIC_BYTES[n - 1]) {
      done = true;  // no frame: the lines went back to rest
    } else if (n >= tarnel::FRAME_NUMBER_OFFSET) {
      const int32_t length =
          static_cast<int32_t>(tarnel::load_le32(&received_[tarnel::FRAME_LENGTH_OFFSET]));
      if (length < 0 || length > tarnel::FRAME_MAX_PAYLOAD) {
        done = true;
      } else if (n == static_cast<size_t>(length) + kFrameOverhead) {
        const uint8_t* payload = &received_[tarnel::FRAME_HEADER_SIZE];
        const uint32_t sum = tarnel::frame_checksum(payload, static_cast<size_t>(length));
        const uint32_t stated = tarnel::load_le32(payload + length);
        code = sum == stated ? tarnel::REPLY_ACCEPT : tarnel::REPLY_RESEND;
        if (code == tarnel::REPLY_ACCEPT && refuse_next_) {
          code = tarnel::REPLY_REFUSE;
          refuse_next_ = false;
        }
        if (code == tarnel::REPLY_RESEND) {
          received_.clear();
        } else {
          done = true;
        }
      }
    }
    d_ = code;
    if (done) mode_ = Mode::kIdle;
  }

  static constexpr size_t kFrameOverhead = tarnel::FRAME_HEADER_SIZE + tarnel::FRAME_CHECKSUM_SIZE;

  // The low nibble of `byte` with the handshake line high.
  static uint8_t first_half(uint8_t byte) {
    return static_cast<uint8_t>(tarnel::Lines::kDataHandshake |
                                (byte & tarnel::Lines::kDataNibble));
  }

  Mode mode_ = Mode::kIdle;
  uint8_t d_ = 0x00;
  uint64_t reads_since_write_ = 0;
  uint64_t slept_us_ = 0;
  unsigned sleeps_since_write_ = 0;
  std::vector<uint8_t> sending_;
  size_t position_ = 0;
  bool second_half_ = false;
  int resends_ = 0;
  std::vector<uint8_t> received_;
  uint8_t low_ = 0;
  bool refuse_next_ = false;
};

std::vector<uint8_t> frame_bytes(int32_t number, std::string_view payload) {
  const auto length =
      static_cast<uint32_t>(std::min<size_t>(payload.size(), tarnel::FRAME_MAX_PAYLOAD));
  std::vector<uint8_t> out;
  auto put32 = [&](uint32_t v) {
    uint8_t le[4];
    tarnel::store_le32(le, v);
    out.insert(out.end(), le, le + 4);
  };
  put32(tarnel::FRAME_MAGIC);
  put32(length);
  put32(static_cast<uint32_t>(number));
  out.insert(out.end(), payload.begin(), payload.begin() + length);
  put32(tarnel::frame_checksum(reinterpret_cast<const uint8_t*>(payload.data()), length));
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    names.insert(e.path().filename().string());
  return names;
}

void check_outside() {
  std::set<std::string> base = entries(base_dir);
  base.erase("in");
  const std::set<std::string> want_out{"keep", "sentinel"};
  struct stat st;
  const bool sentinel_same = lstat((outside_dir + "/sentinel").c_str(), &st) == 0 &&
                             st.st_mode == sentinel_status.st_mode &&
                             st.st_size == sentinel_status.st_size &&
                             st.st_mtim.tv_sec == sentinel_status.st_mtim.tv_sec &&
                             st.st_mtim.tv_nsec == sentinel_status.st_mtim.tv_nsec;
  if (base != std::set<std::string>{"out"} || entries(outside_dir) != want_out ||
      read_file(outside_dir + "/sentinel") != "sentinel" || !sentinel_same ||
      !entries(outside_dir + "/keep").empty() || entries(".") != working_entries) {
    std::fprintf(stderr, "a file outside the scratch directory %s was touched\n",
                 scratch_dir.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tfz-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  base_dir = pattern;
  working_entries = entries(".");
  scratch_dir = base_dir + "/in";
  outside_dir = base_dir + "/out";
  std::filesystem::create_directories(scratch_dir);
  std::filesystem::create_directories(outside_dir + "/keep");
  std::ofstream(outside_dir + "/sentinel") << "sentinel";
  if (lstat((outside_dir + "/sentinel").c_str(), &sentinel_status) != 0) std::abort();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(base_dir, ec);
  });
  return 0;
}

namespace {

/// Syncs that succeed at once and touch no disk.
class FreeSync : public tarnel::FileSystemWrapper {
 public:
  explicit FreeSync(tarnel::FileSystem& target) : FileSystemWrapper(target) {}
  int sync_directory(const std::string&) override { return 0; }
  int sync_data(int) override { return 0; }
  int sync(int) override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnel::abort_flag = false;
  tarnel::reset_file_state();

  ClientInPort client;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  bool refuse = false;
  for (size_t items = 0; start <= input.size() && items < kMaxItems; ++items) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view item = input.substr(start, end - start);
    start = end + 1;
    if (!item.empty() && item[0] == 0x03) {
      refuse = true;
      continue;
    }
    if (item.size() >= 2 && item[0] == 0x01) {
      const uint8_t n = static_cast<uint8_t>(item[1]);
      std::string payload(item.substr(2));
      for (char& c : payload) {
        if (c == 0x02) c = '\n';
      }
      client.frames.push_back(frame_bytes(n == 0xFF ? tarnel::FRAME_CANCEL : n, payload));
    } else {
      client.frames.push_back(frame_bytes(0, item));
    }
    client.refusals.push_back(refuse);
    refuse = false;
  }

  // Links that lead out of the scratch directory, each time anew.
  const std::string scratch = scratch_dir + "/";
  if (symlink("..", (scratch + "up").c_str()) != 0 ||
      symlink("../out", (scratch + "out").c_str()) != 0 ||
      symlink("../out/sentinel", (scratch + "sentinel").c_str()) != 0 ||
      symlink(outside_dir.c_str(), (scratch + "abs").c_str()) != 0) {
    std::abort();
  }
  std::string why;
  const std::unique_ptr<tarnel::ConfinedFileSystem> fs =
      tarnel::ConfinedFileSystem::open_root(scratch_dir, &why);
  if (!fs) {
    std::fprintf(stderr, "cannot serve the scratch directory: %s\n", why.c_str());
    std::abort();
  }
  // The scratch directory is thrown away after each input: syncing it would
  // only slow the fuzzer down, so a sync costs nothing here.
  FreeSync free_sync(*fs);
  tarnel::Lines lines(client, kBase, tarnel::Waiting::kServer);
  tarnel::command_loop(lines, client, free_sync);

  check_outside();
  std::error_code ec;
  std::filesystem::remove_all(scratch_dir, ec);
  std::filesystem::create_directories(scratch_dir, ec);
  if (ec) std::abort();
  return 0;
}
