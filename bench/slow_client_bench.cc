// The whole server (tarnel-sim) against a client on an old machine: one that
// pauses P ms between data frames (writing each block to its disk, reading
// the next) and waits for each handshake either patiently (polling without
// sleeping) or as the link's rules for wait_handshake say, to the letter (10000
// reads, then bursts each followed by a 100 ms sleep). The client is the
// literal peer of the tests (testing/literal_peer.h).
//
//   bus_ns 1000   256 KB get and put for P = 0, 5, 15, 30 and 100 ms, each
//                 wait: KB/s, and the ratio to the pause-aware ideal, that is
//                 the same transfer at P = 0 (measured in this run) plus
//                 (frames - 1) x P. Goal: at least 0.9, 0.95 when patient.
//   bus_ns 0      1 MiB get and put with the patient client, beside the
//                 link's own ceiling at that pace: the same stream between
//                 two ends (this process and a child), without the server
//                 around it (the best of three runs).
//   unanswered    the server's processor time while it waits for a client
//                 that never answers (its reply to CONNECT, until it gives
//                 up), in % of one core, at bus_ns 1000.
//
// Usage: tarnel_slow_client_bench [TARNEL_SIM [PART]]: TARNEL_SIM defaults to
// tarnel-sim beside this program; PART is pauses, unanswered or fast (all
// three when not given). Fails nothing: it prints what it measured and
// whether each goal was met.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/wire_words.h"
#include "link/frame.h"
#include "link/lines.h"
#include "link/receive.h"
#include "link/send.h"
#include "link/virtual_cable.h"
#include "testing/cable_pair.h"
#include "testing/literal_peer.h"

namespace tarnel {
namespace {

using Clock = std::chrono::steady_clock;
using testing::kTestPortBase;
using testing::LiteralPeer;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1103515245 + 12345;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

bool write_whole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Processor time of a process so far, in seconds (user + system).
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// tarnel-sim on end A of a fresh cable, with end B for the client.
class Server {
 public:
  Server(const std::string& sim, const std::string& dir, uint32_t bus_ns)
      : dir_(dir), path_(dir + "/bench.cable"), port_(path_, VirtualCable::kEndB, bus_ns) {
    std::string why;
    // The client's end creates the cable with the pace asked for. A cable
    // file left by an earlier part keeps the pace it was made with, so it
    // goes first.
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    if (!port_.claim(1, kTestPortBase, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return;
    }
    int keys[2];
    if (pipe(keys) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(keys[0], 0);
      const int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
      }
      close(keys[0]);
      close(keys[1]);
      execl(sim.c_str(), sim.c_str(), "--cable", path_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(keys[0]);
    keys_ = keys[1];
  }
  ~Server() {
    if (keys_ >= 0) {
      // A key on the server's console ends it.
      if (write(keys_, "k", 1) != 1) {
      }
      close(keys_);
    }
    if (pid_ > 0) {
      for (int i = 0; i < 50; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  /// True once the server answers CONNECT.
  bool connect(LiteralPeer& peer) {
    for (int i = 0; i < 50; ++i) {
      if (peer.command(std::string(COMMAND_CONNECT)) == SendResult::SEND_OK &&
          peer.reply() == ANSWER_CONNECTED) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  CablePort& port() { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string path_;
  CablePort port_;
  pid_t pid_ = -1;
  int keys_ = -1;
};

struct Transfer {
  bool ok = false;
  double seconds = 0;
  std::string why;
};

// One GET or PUT of `content`, timed from the command to the last data frame.
Transfer transfer(Server& server, LiteralPeer& peer, bool upload, const std::string& content) {
  Transfer t;
  const std::string local = server.dir() + (upload ? "/put.bin" : "/get.bin");
  const std::string path = client_path(local);
  const size_t frames = (content.size() + 4095) / 4096;
  if (upload) {
    std::filesystem::remove(local);
  } else if (!write_whole(local, content)) {
    t.why = "cannot write " + local;
    return t;
  }
  const auto start = Clock::now();
  if (upload) {
    if (peer.command(std::string(COMMAND_PUT) + path) != SendResult::SEND_OK ||
        peer.command(std::string(COMMAND_SIZE) + std::to_string(content.size())) !=
            SendResult::SEND_OK) {
      t.why = "the upload commands failed";
      return t;
    }
    for (size_t n = 1; n <= frames; ++n) {
      if (peer.send_frame(static_cast<int32_t>(n),
                          std::string_view(content).substr((n - 1) * 4096, 4096)) !=
          SendResult::SEND_OK) {
        t.why = "frame " + std::to_string(n) + " was not taken";
        return t;
      }
    }
  } else {
    if (peer.command(std::string(COMMAND_GET) + path) != SendResult::SEND_OK) {
      t.why = "the GET command failed";
      return t;
    }
    for (std::string reply; reply.rfind(ANSWER_SIZE, 0) != 0;) {
      reply = peer.reply();
      if (reply.rfind("<failed", 0) == 0 || reply.rfind("FILE ERROR", 0) == 0) {
        t.why = "reply " + reply;
        return t;
      }
    }
    std::string got;
    for (size_t n = 1; n <= frames; ++n) {
      std::string payload;
      if (peer.receive_frame(static_cast<int32_t>(n), &payload) != RecvResult::RECV_OK) {
        t.why = "frame " + std::to_string(n) + " failed";
        return t;
      }
      got += payload;
    }
    if (got != content) {
      t.why = "the data differ";
      return t;
    }
  }
  t.seconds = seconds_since(start);
  // The server goes on serving.
  if (peer.command(std::string(COMMAND_CONNECT)) != SendResult::SEND_OK ||
      peer.reply() != ANSWER_CONNECTED) {
    t.why = "CONNECT afterwards failed";
    return t;
  }
  if (upload && read_whole(local) != content) {
    t.why = "the stored file differs";
    return t;
  }
  t.ok = true;
  return t;
}

// The link alone: one stream of `bytes` between a server-waiting end and a
// patient end in a child process (as the server and its client are two
// processes), in the direction asked for; KB/s, 0 when it failed.
double link_ceiling(const std::string& dir, bool server_sends, size_t bytes) {
  const std::string path = dir + "/ceiling.cable";
  std::filesystem::remove(path);
  CablePort a(path, VirtualCable::kEndA, 0), b(path, VirtualCable::kEndB, 0);
  if (!a.claim(1, kTestPortBase, nullptr) || !b.claim(1, kTestPortBase, nullptr)) return 0;
  const int frames = static_cast<int>(bytes / 4096);
  const auto send = [frames](Lines& lines) {
    FrameBuffer frame;
    for (int n = 1; n <= frames; ++n) {
      frame.number = n;
      frame.length = 4096;
      std::memset(frame.data, n & 0xFF, 4096);
      if (send_frame(lines, frame) != SendResult::SEND_OK) return false;
    }
    return true;
  };
  const auto receive = [frames](Lines& lines) {
    FrameBuffer frame;
    for (int n = 1; n <= frames; ++n) {
      frame.number = n;
      if (receive_frame(lines, frame) != RecvResult::RECV_OK) return false;
    }
    return true;
  };
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child < 0) return 0;
  if (child == 0) {
    Lines peer(b, kTestPortBase, Waiting::kPatient);
    _exit(server_sends ? (receive(peer) ? 0 : 1) : (send(peer) ? 0 : 1));
  }
  Lines server(a, kTestPortBase, Waiting::kServer);
  const bool ok = server_sends ? send(server) : receive(server);
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = seconds_since(start);
  std::filesystem::remove(path);
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return static_cast<double>(bytes) / seconds / 1000;
}

const char* wait_name(LiteralPeer::Wait wait) {
  return wait == LiteralPeer::Wait::kPatient ? "patient" : "literal";
}

// The cases with pauses; the number of goals missed.
int pauses(const std::string& sim, const std::string& dir) {
  int missed = 0;
  {
    std::printf("bus_ns 1000, 256 KB, client pausing P ms between data frames\n");
    std::printf("%-8s %-4s %6s %10s %7s %s\n", "wait", "dir", "P ms", "KB/s", "ratio", "goal");
    Server server(sim, dir, 1000);
    LiteralPeer peer(server.port());
    if (!server.connect(peer)) {
      std::printf("the server did not answer\n");
      return 1;
    }
    const std::string content = pattern(256 * 1024, 1);
    const double frames = 64;
    for (LiteralPeer::Wait wait : {LiteralPeer::Wait::kPatient, LiteralPeer::Wait::kLiteral}) {
      for (bool upload : {false, true}) {
        double at_zero = 0;
        for (int pause_ms : {0, 5, 15, 30, 100}) {
          peer.set_wait(wait);
          peer.set_frame_pause(std::chrono::milliseconds(pause_ms));
          const Transfer t = transfer(server, peer, upload, content);
          peer.set_wait(LiteralPeer::Wait::kPatient);
          peer.set_frame_pause(std::chrono::milliseconds(0));
          if (!t.ok) {
            ++missed;
            std::printf("%-8s %-4s %6d   failed: %s\n", wait_name(wait), upload ? "put" : "get",
                        pause_ms, t.why.c_str());
            // The lines back to rest before the next case.
            std::this_thread::sleep_for(std::chrono::seconds(3));
            server.connect(peer);
            continue;
          }
          if (pause_ms == 0) at_zero = t.seconds;
          const double ideal = at_zero + (frames - 1) * pause_ms / 1000.0;
          const double ratio = at_zero > 0 ? ideal / t.seconds : 0;
          const double goal = wait == LiteralPeer::Wait::kPatient ? 0.95 : 0.9;
          const bool met = ratio >= goal;
          if (!met) ++missed;
          std::printf("%-8s %-4s %6d %10.1f %7.3f %s\n", wait_name(wait), upload ? "put" : "get",
                      pause_ms, static_cast<double>(content.size()) / t.seconds / 1000, ratio,
                      met ? "met" : "MISSED");
          std::fflush(stdout);
        }
      }
    }
  }
  return missed;
}

// A client that sends CONNECT and never takes the reply: the server's wait
// runs to its end. Its processor time from the command until it has given up
// (its lines cleared), three times.
int unanswered(const std::string& sim, const std::string& dir) {
  {
    Server server(sim, dir, 1000);
    LiteralPeer peer(server.port());
    if (!server.connect(peer)) {
      std::printf("the server did not answer\n");
      return 1;
    }
    double cpu = 0, wall = 0;
    for (int i = 0; i < 3; ++i) {
      if (peer.command(std::string(COMMAND_CONNECT)) != SendResult::SEND_OK) continue;
      VirtualCable& cable = *server.port().cable();
      const double cpu_before = cpu_seconds(server.pid());
      const auto start = Clock::now();
      // The reply frame begins (the server's lines leave 0x00, the command's
      // acceptance) and ends with the lines cleared again.
      for (bool begun = false; seconds_since(start) < 5;) {
        const bool clear = cable.data_register(VirtualCable::kEndA) == 0x00;
        if (begun && clear) break;
        begun = begun || !clear;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      cpu += cpu_seconds(server.pid()) - cpu_before;
      wall += seconds_since(start);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf("unanswered reply, bus_ns 1000: gave up after %.2f s, %.1f%% of one core\n",
                wall / 3, wall > 0 ? 100 * cpu / wall : 0);
  }
  return 0;
}

// 1 MiB each way at bus_ns 0 beside the link's ceiling.
int fast(const std::string& sim, const std::string& dir) {
  int missed = 0;
  {
    std::printf("bus_ns 0, 1 MiB, patient client\n");
    std::printf("%-4s %10s %12s %7s\n", "dir", "KB/s", "ceiling", "of it");
    Server server(sim, dir, 0);
    LiteralPeer peer(server.port());
    if (!server.connect(peer)) {
      std::printf("the server did not answer\n");
      return 1;
    }
    const std::string content = pattern(1024 * 1024, 2);
    for (bool upload : {false, true}) {
      const Transfer t = transfer(server, peer, upload, content);
      // The best of three: one stream's rate swings with the scheduler.
      double ceiling = 0;
      for (int i = 0; i < 3; ++i)
        ceiling = std::max(ceiling, link_ceiling(dir, !upload, content.size()));
      if (!t.ok) {
        ++missed;
        std::printf("%-4s   failed: %s (ceiling %.1f KB/s)\n", upload ? "put" : "get",
                    t.why.c_str(), ceiling);
        continue;
      }
      const double rate = static_cast<double>(content.size()) / t.seconds / 1000;
      std::printf("%-4s %10.1f %12.1f %7.3f\n", upload ? "put" : "get", rate, ceiling,
                  ceiling > 0 ? rate / ceiling : 0);
    }
  }
  return missed;
}

}  // namespace
}  // namespace tarnel

int main(int argc, char** argv) {
  std::string sim = argc > 1 ? argv[1] : "";
  const std::string part = argc > 2 ? argv[2] : "";
  if (!part.empty() && part != "pauses" && part != "unanswered" && part != "fast") {
    std::fprintf(stderr, "usage: tarnel_slow_client_bench [TARNEL_SIM [pauses|unanswered|fast]]\n");
    return 2;
  }
  if (sim.empty()) {
    sim = (std::filesystem::path(argv[0]).parent_path() / "tarnel-sim").string();
  }
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/tarnel-slow-XXXXXX";
  if (!mkdtemp(dir.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  int missed = 0;
  if (part.empty() || part == "pauses") missed += tarnel::pauses(sim, dir);
  if (part.empty()) std::printf("\n");
  if (part.empty() || part == "unanswered") missed += tarnel::unanswered(sim, dir);
  if (part.empty()) std::printf("\n");
  if (part.empty() || part == "fast") missed += tarnel::fast(sim, dir);
  std::printf("\n%s\n", missed ? "some goals missed" : "all cases complete, all goals met");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
