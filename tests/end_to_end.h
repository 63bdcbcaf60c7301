// The server (tarnel-sim) and the client (tarnel-client) as separate
// processes joined by a virtual cable in a test's own directory.
#ifndef TARNEL_TESTS_END_TO_END_H_
#define TARNEL_TESTS_END_TO_END_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/virtual_cable.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel::end_to_end {

using testing::TempDir;

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Makes the clients started from now on read local time as the server
/// does: in the kernel's time zone (which the server reads once at start-up).
inline void use_kernel_time_zone() {
  struct timeval tv;
  struct timezone tz;
  if (gettimeofday(&tv, &tz) != 0) return;
  const int west = tz.tz_minuteswest;
  const int a = west < 0 ? -west : west;
  char zone[32];
  std::snprintf(zone, sizeof zone, "KRN%c%d:%02d", west < 0 ? '-' : '+', a / 60, a % 60);
  setenv("TZ", zone, 1);
  tzset();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline int64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

/// Random bytes; `text`: no CR, with LF line ends at random places (runs of
/// them and one at either end included now and then).
inline std::string random_content(size_t size, bool text, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) {
    uint8_t b = static_cast<uint8_t>(rng());
    if (text) {
      if (rng() % 23 == 0) {
        b = '\n';
      } else if (b == '\r') {
        b = 'r';
      }
    }
    c = static_cast<char>(b);
  }
  return s;
}

inline uint32_t default_bus_ns() {
  const char* v = std::getenv("TARNEL_TEST_BUS_NS");
  return v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : 0;
}

/// A cable and a directory for one test. The cable is created here, so
/// that its bus time is the test's choice.
class Bench {
 public:
  explicit Bench(uint32_t bus_ns = default_bus_ns()) : cable_(dir_.file("lpt.cable")) {
    std::string why;
    auto cable = VirtualCable::open(cable_, bus_ns, &why);
    if (!cable) ADD_FAILURE() << why;
  }
  ~Bench() { stop_server(); }

  TempDir& dir() { return dir_; }
  std::string file(const std::string& name) const { return dir_.file(name); }
  const std::string& cable() const { return cable_; }

  /// Starts tarnel-sim on the cable, with `options` besides; its standard
  /// input is a pipe held open here (its keyboard), its console goes to a
  /// file.
  void start_server(const std::vector<std::string>& options = {}) {
    int keys[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    console_path_ = dir_.file("console.txt");
    const int out = open(console_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    testing::ChildOptions o;
    o.stdin_fd = keys[0];
    o.stdout_fd = out;
    o.stderr_fd = out;
    o.cwd = dir_.path();
    std::vector<std::string> args{"--cable", cable_};
    args.insert(args.end(), options.begin(), options.end());
    server_ = testing::start_child(testing::program_path("tarnel-sim"), args, o);
    close(keys[0]);
    close(out);
    keys_ = keys[1];
    ASSERT_TRUE(wait_for_console("Accepting connections", 10000)) << console();
  }

  /// One byte on the server's keyboard.
  void press_key() {
    if (keys_ >= 0) {
      ASSERT_EQ(write(keys_, "k", 1), 1);
    }
  }

  /// Presses the key and waits for the server to end; its wait status.
  int stop_server(int timeout_ms = 15000) {
    if (server_ <= 0) return -1;
    press_key();
    const int status = testing::wait_child(server_, timeout_ms);
    server_ = -1;
    if (keys_ >= 0) close(keys_);
    keys_ = -1;
    return status;
  }
  int wait_server(int timeout_ms) {
    const int status = testing::wait_child(server_, timeout_ms);
    server_ = -1;
    return status;
  }

  std::string console() const { return slurp(console_path_); }
  bool wait_for_console(const std::string& needle, int timeout_ms) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (console().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  /// A server path for a file of this test's directory.
  std::string remote(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
  std::string cable_;
  std::string console_path_;
  pid_t server_ = -1;
  int keys_ = -1;
};

struct ClientRun {
  int exit = -1;    // exit status, or -1 when it did not exit by itself
  int signal = 0;   // the signal that ended it
  std::string out;  // standard output
  std::string err;  // standard error
};

/// A started client: its output goes to files beside the cable.
class Client {
 public:
  Client(Bench& bench, std::vector<std::string> args) : bench_(bench) {
    static int serial = 0;
    const std::string base = bench.file("client" + std::to_string(++serial));
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    testing::ChildOptions o;
    o.stdin_fd = in;
    o.stdout_fd = out;
    o.stderr_fd = err;
    o.cwd = bench.dir().path();
    args.insert(args.begin(), {"--cable", bench.cable()});
    // For a look at the exchange of every client of a run.
    if (std::getenv("TARNEL_TEST_VERBOSE")) args.insert(args.begin(), "--verbose");
    pid_ = testing::start_child(testing::program_path("tarnel-client"), args, o);
    close(in);
    close(out);
    close(err);
  }

  pid_t pid() const { return pid_; }

  ClientRun wait(int timeout_ms = 120000) {
    ClientRun run;
    const int status = testing::wait_child(pid_, timeout_ms);
    if (status != -1 && WIFEXITED(status)) run.exit = WEXITSTATUS(status);
    if (status != -1 && WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.out = slurp(out_path_);
    run.err = slurp(err_path_);
    return run;
  }

 private:
  Bench& bench_;
  pid_t pid_;
  std::string out_path_, err_path_;
};

/// Runs the client to its end.
inline ClientRun run_client(Bench& bench, std::vector<std::string> args, int timeout_ms = 120000) {
  return Client(bench, std::move(args)).wait(timeout_ms);
}

inline std::ostream& operator<<(std::ostream& os, const ClientRun& r) {
  return os << "exit " << r.exit << " signal " << r.signal << "\nstdout: " << r.out
            << "\nstderr: " << r.err;
}

}  // namespace tarnel::end_to_end

#endif  // TARNEL_TESTS_END_TO_END_H_
