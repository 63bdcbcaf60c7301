// tarnel-soak: the server (tarnel-sim, a child process) and the client's
// library over a virtual cable whose client end is noisy (FaultPort), for a
// given time. Uploads and downloads in raw and text mode, of 0 bytes to a
// few hundred kilobytes, resumed after every failure, with listings,
// renames and deletions between them. Every result the client reports as a
// success is checked against the files themselves at once, and all stored
// files once more at the end; then the server must still serve a clean
// client.
//
//   tarnel-soak [--seconds S] [--seed N] [--fault-rate R] [--bus-ns NS] [--forge-rate F]
//   [--verbose]
//
// --verbose: every failure the client reports, on standard error.
// --forge-rate F: also give a data frame the client sends, with the chance
// F, a pair of bit flips that its sums cannot see (FaultPort::set_forge_rate),
// to show what slips through and that the soak finds it.
//
// The last line:
//   transfers N, faults N, failures detected N, silent corruptions N, server serving yes|no
// Exit status 0 only with no silent corruption and the server serving.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/wire_words.h"
#include "client/client_port.h"
#include "client/commands.h"
#include "client/options.h"
#include "client/output.h"
#include "client/progress.h"
#include "client/protocol.h"
#include "client/session.h"
#include "link/lines.h"
#include "link/virtual_cable.h"
#include "soak/fault_port.h"
#include "testing/process.h"

namespace tarnel::soak {
namespace {

using client::Exit;
using client::Outcome;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kBase = 0x378;
/// Attempts of one transfer (the first and its resumptions) before it is
/// given up; with one frame in five spoilt, a large file needs a few.
constexpr int kMaxAttempts = 12;
constexpr size_t kMaxFiles = 10;

struct Settings {
  double seconds = 60;
  uint64_t seed = 1;
  double rate = 0.2;
  uint32_t bus_ns = 0;
  double forge_rate = 0;
  bool verbose = false;
};

bool parse_args(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tarnel-soak: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    char* end = nullptr;
    const char* v = nullptr;
    if (a == "--verbose") {
      s->verbose = true;
      continue;
    }
    if (a == "--seconds" || a == "--seed" || a == "--fault-rate" || a == "--bus-ns" ||
        a == "--forge-rate") {
      if (!(v = value(a.c_str()))) return false;
      errno = 0;
      if (a == "--seconds") s->seconds = std::strtod(v, &end);
      if (a == "--seed") s->seed = std::strtoull(v, &end, 10);
      if (a == "--fault-rate") s->rate = std::strtod(v, &end);
      if (a == "--bus-ns") s->bus_ns = static_cast<uint32_t>(std::strtoul(v, &end, 10));
      if (a == "--forge-rate") s->forge_rate = std::strtod(v, &end);
      if (errno != 0 || end == v || *end != '\0' || s->seconds < 0 || s->rate < 0 || s->rate > 1 ||
          s->forge_rate < 0 || s->forge_rate > 1) {
        std::fprintf(stderr, "tarnel-soak: bad value for %s: %s\n", a.c_str(), v);
        return false;
      }
      continue;
    }
    std::fprintf(stderr,
                 "usage: tarnel-soak [--seconds S] [--seed N] [--fault-rate R] [--bus-ns NS] "
                 "[--forge-rate F] [--verbose]\n");
    return false;
  }
  return true;
}

bool read_whole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

bool write_whole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

/// Where two contents first differ, for the report.
std::string difference(const std::string& want, const std::string& got) {
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  char line[200];
  std::snprintf(line, sizeof line, "expected %zu bytes, found %zu; first difference at byte %zu",
                want.size(), got.size(), i);
  return line;
}

/// The soak's own program directory: tarnel-sim is beside it.
std::string program_dir() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

class Soak {
 public:
  Soak(const Settings& s, const std::string& dir)
      : s_(s),
        dir_(dir),
        server_dir_(dir + "/server"),
        local_dir_(dir + "/local"),
        cable_path_(dir + "/soak.cable"),
        rng_(s.seed) {}

  int run();

 private:
  bool start_server();
  void stop_server();
  bool server_alive();
  bool connect(bool faults);
  void log(const std::string& line) {
    if (s_.verbose) std::fprintf(stderr, "soak: %s\n", line.c_str());
  }
  void silent(const std::string& what) {
    ++silent_;
    std::fprintf(stderr, "SILENT CORRUPTION (seed %llu, operation %llu): %s\n",
                 static_cast<unsigned long long>(s_.seed), static_cast<unsigned long long>(ops_),
                 what.c_str());
  }
  void failed(const Outcome& o, const std::string& what) {
    ++failures_;
    // The client's own checks after the frames: the resume comparison, and
    // the size of the stored file after an upload.
    if (o.exit == Exit::kMismatch) ++resume_refusals_;
    if (o.message.find("the server holds ") != std::string::npos) ++size_check_failures_;
    if (o.message.find("stored part differs") != std::string::npos) ++upload_resume_refusals_;
    connected_ = false;
    log(what + " failed: " + o.message);
  }

  std::string content(size_t size, bool text);
  size_t pick_size();
  std::string remote(const std::string& name) const { return server_dir_ + "/" + name; }
  std::string pick_file();

  void upload();
  void download();
  void listing();
  void rename();
  void remove();
  bool check_all();

  Settings s_;
  std::string dir_, server_dir_, local_dir_, cable_path_;
  std::mt19937_64 rng_;
  pid_t server_ = -1;
  int keys_ = -1;

  std::unique_ptr<CablePort> cable_port_;
  std::unique_ptr<FaultPort> fault_port_;
  std::unique_ptr<client::ClientPort> client_port_;
  std::unique_ptr<Lines> lines_;
  std::unique_ptr<client::Session> session_;
  client::StdioOutput output_;
  bool connected_ = false;

  /// The files the server's directory should hold, and their contents.
  std::map<std::string, std::string> files_;
  uint64_t serial_ = 0;

  uint64_t ops_ = 0, transfers_ = 0, attempts_ = 0, resumed_ = 0, given_up_ = 0;
  uint64_t resume_refusals_ = 0, size_check_failures_ = 0, upload_resume_refusals_ = 0;
  uint64_t failures_ = 0, silent_ = 0, bytes_ = 0, listings_ = 0, renames_ = 0, deletions_ = 0;
};

bool Soak::start_server() {
  int keys[2];
  if (pipe2(keys, O_CLOEXEC) != 0) return false;
  const int console =
      open((dir_ + "/console.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  testing::ChildOptions o;
  o.stdin_fd = keys[0];
  o.stdout_fd = console;
  o.cwd = dir_;
  server_ = testing::start_child(program_dir() + "/tarnel-sim", {"--cable", cable_path_}, o);
  close(keys[0]);
  if (console >= 0) close(console);
  keys_ = keys[1];
  return server_ > 0;
}

bool Soak::server_alive() {
  int status;
  return server_ > 0 && waitpid(server_, &status, WNOHANG) == 0;
}

void Soak::stop_server() {
  if (server_ <= 0) return;
  if (keys_ >= 0) {
    // A key press ends the server.
    (void)!write(keys_, "q", 1);
    close(keys_);
    keys_ = -1;
  }
  testing::wait_child(server_, 5000);
  server_ = -1;
}

bool Soak::connect(bool faults) {
  fault_port_->set_enabled(faults);
  std::string reply;
  Outcome o = session_->connect(&reply);
  fault_port_->set_enabled(true);
  if (o.ok() && reply == "OK A") {
    connected_ = true;
    return true;
  }
  failed(o.ok() ? Outcome::Fail(Exit::kUnexpectedReply, reply) : o, "connect");
  return false;
}

std::string Soak::content(size_t size, bool text) {
  std::string c(size, '\0');
  for (char& ch : c) {
    uint8_t b = static_cast<uint8_t>(rng_());
    // Text files: lines ended by LF, no CR (the text mode's counting would
    // otherwise change the bytes by design).
    if (text) b = (rng_() % 23 == 0) ? '\n' : (b == '\r' ? 'r' : b);
    ch = static_cast<char>(b);
  }
  return c;
}

size_t Soak::pick_size() {
  switch (rng_() % 8) {
    case 0:
      return 0;
    case 1:
      return 4096 * (1 + rng_() % 4) + (rng_() % 3) - 1;  // frame edges
    case 2:
      return rng_() % 4096;
    default:
      return rng_() % 300000;
  }
}

std::string Soak::pick_file() {
  if (files_.empty()) return "";
  auto it = files_.begin();
  std::advance(it, static_cast<long>(rng_() % files_.size()));
  return it->first;
}

void Soak::upload() {
  std::string name = pick_file();
  if (name.empty() || rng_() % 3 != 0) name = "u" + std::to_string(++serial_);
  const bool text = rng_() & 1;
  const std::string source = content(pick_size(), text);
  const std::string local = local_dir_ + "/source";
  if (!write_whole(local, source)) {
    std::fprintf(stderr, "tarnel-soak: cannot write %s\n", local.c_str());
    return;
  }
  ++transfers_;
  client::Options options;
  options.text = text;
  bool fresh = true;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!connected_ && !connect(true)) continue;
    options.resume = !fresh;
    fresh = false;
    resumed_ += options.resume;
    ++attempts_;
    client::Progress progress(output_, name, static_cast<int64_t>(source.size()));
    progress.finish();
    client::FileReport report;
    Outcome o =
        client::put_file(*session_, local, remote(name), options, output_, progress, &report);
    bytes_ += static_cast<uint64_t>(std::max<int64_t>(report.moved, 0));
    if (o.ok()) {
      std::string stored;
      if (!read_whole(remote(name), &stored)) {
        silent("put " + name + " reported stored, but the server has no such file");
        files_.erase(name);
        return;
      }
      if (stored != source) {
        silent("put " + name + (text ? " (text" : " (raw") + ", attempt " +
               std::to_string(attempt + 1) + ") reported stored: " + difference(source, stored));
      }
      // What the server holds from now on (the same as the source unless
      // counted above), so that a corruption is counted once.
      files_[name] = stored;
      return;
    }
    failed(o, "put " + name);
    // A resume that moved nothing may have been refused for a stored part
    // that differs (a spoilt frame caught by the size check): start afresh.
    if (o.exit == Exit::kMismatch || (options.resume && report.moved == 0)) fresh = true;
  }
  // Given up: what the server holds of it is no file of ours any more.
  ++given_up_;
  ::unlink(remote(name).c_str());
  files_.erase(name);
}

void Soak::download() {
  const std::string name = pick_file();
  if (name.empty()) return upload();
  const std::string& source = files_[name];
  const bool text = rng_() & 1;
  // A text download of a raw file changes its bytes by design.
  const bool text_ok = text && source.find('\r') == std::string::npos;
  const std::string local = local_dir_ + "/fetched";
  ::unlink(local.c_str());
  ::unlink((local + ".tarnel-part").c_str());
  ++transfers_;
  client::Options options;
  options.text = text_ok;
  bool fresh = true;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!connected_ && !connect(true)) continue;
    options.resume = !fresh;
    fresh = false;
    resumed_ += options.resume;
    ++attempts_;
    client::Progress progress(output_, name, static_cast<int64_t>(source.size()));
    progress.finish();
    client::FileReport report;
    Outcome o =
        client::get_file(*session_, remote(name), local, options, output_, progress, &report);
    bytes_ += static_cast<uint64_t>(std::max<int64_t>(report.moved, 0));
    if (o.ok()) {
      std::string fetched;
      if (!read_whole(local, &fetched)) {
        silent("get " + name + " reported fetched, but there is no local file");
      } else if (fetched != source) {
        silent("get " + name + (text_ok ? " (text" : " (raw") + ", attempt " +
               std::to_string(attempt + 1) + ") reported fetched: " + difference(source, fetched));
      }
      return;
    }
    failed(o, "get " + name);
    if (o.exit == Exit::kMismatch) fresh = true;
  }
  ++given_up_;
}

void Soak::listing() {
  if (!connected_ && !connect(true)) return;
  ++listings_;
  std::string data;
  Outcome o = client::fetch_listing(*session_, output_, server_dir_ + "/*.*", &data);
  if (!o.ok()) return failed(o, "list");
  std::map<std::string, int64_t> seen;
  for (const auto& line : client::parse_listing(data)) {
    if (!line.parsed) {
      silent("listing reported whole holds a line that does not parse: " + line.raw);
      continue;
    }
    if (line.entry.name == "." || line.entry.name == "..") continue;
    seen[line.entry.name] = line.entry.size;
  }
  std::map<std::string, int64_t> want;
  for (const auto& [name, bytes] : files_) want[name] = static_cast<int64_t>(bytes.size());
  if (seen != want) {
    std::string names;
    for (const auto& [n, size] : seen) names += " " + n + ":" + std::to_string(size);
    silent("listing reported whole differs from the directory; it shows" + names);
  }
}

void Soak::rename() {
  const std::string from = pick_file();
  if (from.empty()) return;
  if (!connected_ && !connect(true)) return;
  ++renames_;
  const std::string to = "n" + std::to_string(++serial_);
  Outcome o = session_->send_command(std::string(COMMAND_RNFR) + remote(from));
  std::string reply;
  if (o.ok()) o = session_->send_command(std::string(COMMAND_RNTO) + remote(to));
  if (o.ok()) o = session_->next_reply(&reply);
  if (o.ok() && reply != ANSWER_OK) o = Outcome::Fail(Exit::kRenameError, "reply " + reply);
  struct stat st;
  const bool moved = ::stat(remote(to).c_str(), &st) == 0 && ::stat(remote(from).c_str(), &st) != 0;
  if (o.ok() && !moved) silent("rename " + from + " to " + to + " reported done, but not done");
  if (!o.ok()) failed(o, "rename " + from);
  // The reply of a rename that was done may be lost: the directory decides.
  if (moved) {
    files_[to] = std::move(files_[from]);
    files_.erase(from);
  }
}

void Soak::remove() {
  const std::string name = pick_file();
  if (name.empty() || (!connected_ && !connect(true))) return;
  ++deletions_;
  Outcome o = client::simple_command(*session_, COMMAND_DEL, remote(name));
  struct stat st;
  const bool gone = ::stat(remote(name).c_str(), &st) != 0;
  if (o.ok() && !gone) silent("delete " + name + " reported done, but the file is there");
  if (!o.ok()) failed(o, "delete " + name);
  if (gone) files_.erase(name);
}

bool Soak::check_all() {
  bool all = true;
  for (const auto& [name, want] : files_) {
    std::string got;
    if (!read_whole(remote(name), &got) || got != want) {
      silent("stored file " + name + " changed afterwards: " + difference(want, got));
      all = false;
    }
  }
  return all;
}

int Soak::run() {
  std::error_code ec;
  std::filesystem::create_directories(server_dir_, ec);
  std::filesystem::create_directories(local_dir_, ec);
  std::string why;
  if (!VirtualCable::open(cable_path_, s_.bus_ns, &why)) {
    std::fprintf(stderr, "tarnel-soak: %s\n", why.c_str());
    return 2;
  }
  if (!start_server()) {
    std::fprintf(stderr, "tarnel-soak: cannot start tarnel-sim\n");
    return 2;
  }
  cable_port_ = std::make_unique<CablePort>(cable_path_, VirtualCable::kEndB, s_.bus_ns);
  if (!cable_port_->claim(1, kBase, &why)) {
    std::fprintf(stderr, "tarnel-soak: %s\n", why.c_str());
    stop_server();
    return 2;
  }
  fault_port_ = std::make_unique<FaultPort>(*cable_port_, kBase, s_.seed * 2 + 1, s_.rate);
  fault_port_->set_forge_rate(s_.forge_rate);
  client_port_ = std::make_unique<client::ClientPort>(*fault_port_, kBase, cable_port_->cable());
  lines_ = std::make_unique<Lines>(*client_port_, kBase, Waiting::kPatient);
  client::SessionSettings settings;
  settings.reply_timeout_ms = 6000;
  session_ = std::make_unique<client::Session>(*lines_, *client_port_, settings);

  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(s_.seconds * 1000));
  auto next_report = start + std::chrono::minutes(5);
  while (Clock::now() < end && server_alive()) {
    if (Clock::now() >= next_report) {
      // A line now and then for a long run.
      next_report += std::chrono::minutes(5);
      std::printf(
          "%.0f s: transfers %llu, faults %llu, failures detected %llu, silent corruptions %llu\n",
          std::chrono::duration<double>(Clock::now() - start).count(),
          static_cast<unsigned long long>(transfers_),
          static_cast<unsigned long long>(fault_port_->faults()),
          static_cast<unsigned long long>(failures_), static_cast<unsigned long long>(silent_));
      std::fflush(stdout);
    }
    ++ops_;
    const int pick = static_cast<int>(rng_() % 100);
    if (files_.size() > kMaxFiles && pick < 10) {
      remove();
    } else if (pick < 38) {
      upload();
    } else if (pick < 76) {
      download();
    } else if (pick < 88) {
      listing();
    } else {
      rename();
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  // The end: all stored files as stored, and a clean client still served.
  fault_port_->set_enabled(false);
  check_all();
  bool serving = server_alive();
  if (serving) {
    serving = false;
    for (int i = 0; i < 3 && !serving; ++i) serving = connect(false);
    if (serving) {
      fault_port_->set_enabled(false);
      std::string data;
      serving = client::fetch_listing(*session_, output_, server_dir_ + "/*.*", &data).ok();
    }
  }
  session_.reset();
  stop_server();

  std::printf(
      "seed %llu, fault rate %.3f, %.0f s; %llu operations, %llu transfer attempts "
      "(%llu resumed, %llu transfers given up), %llu bytes moved, %llu listings, "
      "%llu renames, %llu deletions\n",
      static_cast<unsigned long long>(s_.seed), s_.rate, elapsed,
      static_cast<unsigned long long>(ops_), static_cast<unsigned long long>(attempts_),
      static_cast<unsigned long long>(resumed_), static_cast<unsigned long long>(given_up_),
      static_cast<unsigned long long>(bytes_), static_cast<unsigned long long>(listings_),
      static_cast<unsigned long long>(renames_), static_cast<unsigned long long>(deletions_));
  std::printf(
      "failures found by the client's resume comparison %llu, by the server's refusal to "
      "resume onto a stored part that differs (or cannot be written) %llu, by the size check "
      "after an upload %llu\n",
      static_cast<unsigned long long>(resume_refusals_),
      static_cast<unsigned long long>(upload_resume_refusals_),
      static_cast<unsigned long long>(size_check_failures_));
  std::printf("frames seen %llu;", static_cast<unsigned long long>(fault_port_->frames()));
  if (s_.forge_rate > 0) {
    std::printf(" frames given flips their sums cannot see: %llu;",
                static_cast<unsigned long long>(fault_port_->forged()));
  }
  for (int k = 0; k < FaultPort::kKinds; ++k) {
    std::printf(
        " %s: %llu%s", FaultPort::kind_name(static_cast<FaultPort::Kind>(k)),
        static_cast<unsigned long long>(fault_port_->faults_of(static_cast<FaultPort::Kind>(k))),
        k + 1 < FaultPort::kKinds ? ";" : "\n");
  }
  std::printf(
      "transfers %llu, faults %llu, failures detected %llu, silent corruptions %llu, "
      "server serving %s\n",
      static_cast<unsigned long long>(transfers_),
      static_cast<unsigned long long>(fault_port_->faults()),
      static_cast<unsigned long long>(failures_), static_cast<unsigned long long>(silent_),
      serving ? "yes" : "no");
  std::fflush(stdout);
  return silent_ == 0 && serving ? 0 : 1;
}

}  // namespace
}  // namespace tarnel::soak

int main(int argc, char** argv) {
  tarnel::soak::Settings settings;
  if (!tarnel::soak::parse_args(argc, argv, &settings)) return 2;
  signal(SIGPIPE, SIG_IGN);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarnel-soak-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("tarnel-soak: mkdtemp");
    return 2;
  }
  int status;
  {
    tarnel::soak::Soak soak(settings, pattern);
    status = soak.run();
  }
  std::error_code ec;
  if (status == 0)
    std::filesystem::remove_all(pattern, ec);
  else
    std::fprintf(stderr, "tarnel-soak: files kept in %s\n", pattern.c_str());
  return status;
}
