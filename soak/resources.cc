// tarnel-resources: many commands of every kind against one server
// (tarnel-sim, a child process), through the client's library over a clean
// virtual cable; the server's open file descriptors (/proc/PID/fd) and
// resident memory (VmRSS of /proc/PID/status) at the start, every 1000
// commands, and at the end.
//
//   tarnel-resources [--commands N] [--bus-ns NS]
//
// Commands: CONNECT; MD, RD; PUT and APUT with TIME, ATTR, REST 0 or
// REST ? and SIZE and their data; GET and AGET; LIST; RNFR and RNTO; DEL;
// and failing ones: GET, LIST, DEL, RD of missing paths, a command the
// server does not know. Exit status 1 when the descriptors at the end are
// not those of the start, or a command that should succeed fails.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "base/wire_words.h"
#include "client/client_port.h"
#include "client/commands.h"
#include "client/options.h"
#include "client/output.h"
#include "client/progress.h"
#include "client/session.h"
#include "link/lines.h"
#include "link/virtual_cable.h"
#include "testing/process.h"

namespace {

using namespace tarnel;
using client::Outcome;

constexpr uint16_t kBase = 0x378;

int open_fds(pid_t pid) {
  int n = 0;
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

long rss_kb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string program_dir() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  long commands = 10000;
  uint32_t bus_ns = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--commands" || a == "--bus-ns") && i + 1 < argc) {
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || v < 1) {
        std::fprintf(stderr, "tarnel-resources: bad value for %s\n", a.c_str());
        return 2;
      }
      if (a == "--commands")
        commands = v;
      else
        bus_ns = static_cast<uint32_t>(v);
    } else {
      std::fprintf(stderr, "usage: tarnel-resources [--commands N] [--bus-ns NS]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarnel-resources-XXXXXX";
  if (!mkdtemp(dir.data())) {
    std::perror("tarnel-resources: mkdtemp");
    return 2;
  }
  const std::string cable = dir + "/resources.cable";
  const std::string served = dir + "/served";
  std::filesystem::create_directories(served);
  std::string why;
  if (!VirtualCable::open(cable, bus_ns, &why)) {
    std::fprintf(stderr, "tarnel-resources: %s\n", why.c_str());
    return 2;
  }
  int keys[2];
  if (pipe2(keys, O_CLOEXEC) != 0) return 2;
  const int console = open("/dev/null", O_WRONLY | O_CLOEXEC);
  testing::ChildOptions child;
  child.stdin_fd = keys[0];
  child.stdout_fd = console;
  child.cwd = dir;
  const pid_t server =
      testing::start_child(program_dir() + "/tarnel-sim", {"--cable", cable}, child);
  close(keys[0]);
  close(console);

  CablePort port(cable, VirtualCable::kEndB, bus_ns);
  if (!port.claim(1, kBase, &why)) {
    std::fprintf(stderr, "tarnel-resources: %s\n", why.c_str());
    return 2;
  }
  client::ClientPort client_port(port, kBase, port.cable());
  Lines lines(client_port, kBase, Waiting::kPatient);
  client::Session session(lines, client_port, client::SessionSettings{});

  long sent = 0, unexpected = 0;
  auto note = [&](const Outcome& o, bool should_succeed, const std::string& what) {
    if (o.ok() != should_succeed) {
      ++unexpected;
      std::fprintf(stderr, "tarnel-resources: %s: %s\n", what.c_str(),
                   o.ok() ? "succeeded, but should fail" : o.message.c_str());
    }
  };
  std::string reply;
  Outcome first = session.connect(&reply);
  ++sent;
  if (!first.ok()) {
    std::fprintf(stderr, "tarnel-resources: %s\n", first.message.c_str());
    return 2;
  }
  const int fds_start = open_fds(server);
  const long rss_start = rss_kb(server);
  std::printf("start: %d open descriptors, %ld kB resident\n", fds_start, rss_start);

  const std::string local = dir + "/local";
  const std::string fetched = dir + "/fetched";
  {
    std::ofstream out(local, std::ios::binary);
    for (int i = 0; i < 9000; ++i) out << static_cast<char>(i % 10 == 9 ? '\n' : 'a' + i % 26);
  }
  client::Options raw, text, resume;
  client::StdioOutput output;
  text.text = true;
  resume.resume = true;
  long round = 0, next_report = 1000;
  while (sent < commands) {
    ++round;
    const std::string d = served + "/d" + std::to_string(round % 7);
    // One file per cycle of the twelve steps: stored, fetched, renamed, deleted.
    const std::string f = served + "/f" + std::to_string(round / 12 % 5);
    const std::string g = served + "/g" + std::to_string(round / 12 % 5);
    client::Progress progress(output, "", 0);
    progress.finish();
    client::FileReport report;
    switch (round % 12) {
      case 0:
        note(session.connect(&reply), true, "CONNECT");
        sent += 1;
        break;
      case 1:
        note(client::simple_command(session, COMMAND_MD, d), true, "MD");
        note(client::simple_command(session, COMMAND_RD, d), true, "RD");
        sent += 2;
        break;
      case 2:  // PUT, TIME, ATTR, REST 0, SIZE and 3 frames; then LIST
      case 3:  // APUT ...
        note(client::put_file(session, local, f, round % 12 == 2 ? raw : text, output, progress,
                              &report),
             true, "PUT");
        sent += 6;
        break;
      case 4:  // PUT ... with REST ?
        note(client::put_file(session, local, f, resume, output, progress, &report), true,
             "PUT with REST ?");
        sent += 6;
        break;
      case 5:
      case 6:
        ::unlink(fetched.c_str());
        note(client::get_file(session, f, fetched, round % 12 == 5 ? raw : text, output, progress,
                              &report),
             true, "GET");
        sent += 1;
        break;
      case 7: {
        std::string data;
        note(client::fetch_listing(session, output, served + "/*.*", &data), true, "LIST");
        sent += 1;
        break;
      }
      case 8: {
        Outcome o = session.send_command(std::string(COMMAND_RNFR) + f);
        if (o.ok()) o = session.send_command(std::string(COMMAND_RNTO) + g);
        if (o.ok()) o = session.next_reply(&reply);
        if (o.ok() && reply != ANSWER_OK) o = Outcome::Fail(client::Exit::kRenameError, reply);
        note(o, true, "RNFR/RNTO");
        note(client::simple_command(session, COMMAND_DEL, g), true, "DEL");
        sent += 3;
        break;
      }
      case 9: {
        ::unlink(fetched.c_str());
        note(
            client::get_file(session, served + "/missing", fetched, raw, output, progress, &report),
            false, "GET missing");
        std::string data;
        note(client::fetch_listing(session, output, served + "/missing/*.*", &data), false,
             "LIST missing");
        sent += 2;
        break;
      }
      case 10:
        note(client::simple_command(session, COMMAND_DEL, served + "/missing"), false,
             "DEL missing");
        note(client::simple_command(session, COMMAND_RD, served + "/missing"), false, "RD missing");
        sent += 2;
        break;
      case 11: {
        // A command the server does not know: the bad-command signal.
        Outcome o = session.send_command("NOSUCH " + f);
        if (o.ok()) o = session.receive_reply(&reply);
        note(o, false, "unknown command");
        sent += 1;
        break;
      }
    }
    if (sent >= next_report) {
      std::printf("%ld commands: %d open descriptors, %ld kB resident\n", sent, open_fds(server),
                  rss_kb(server));
      std::fflush(stdout);
      next_report += 1000;
    }
  }
  // The server at rest between commands, as at the start.
  note(session.connect(&reply), true, "CONNECT");
  const int fds_end = open_fds(server);
  const long rss_end = rss_kb(server);
  std::printf(
      "end after %ld commands: %d open descriptors, %ld kB resident (start: %d, %ld kB); "
      "%ld commands did not end as they should\n",
      sent, fds_end, rss_end, fds_start, rss_start, unexpected);
  (void)!write(keys[1], "q", 1);
  close(keys[1]);
  testing::wait_child(server, 5000);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return fds_end == fds_start && unexpected == 0 ? 0 : 1;
}
