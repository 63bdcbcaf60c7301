// tarnel-sim and tarnel as processes: the console text, the end on a key,
// the terminal mode and the failed allocation.
#include "startup/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include "link/virtual_cable.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::ChildOptions;
using testing::program_path;
using testing::read_file;
using testing::read_until;
using testing::read_until_eof;
using testing::run_to_end;
using testing::start_child;
using testing::TempDir;
using testing::wait_child;
using testing::write_file;

const std::string kBanner =
    "TARNEL:parallel port server for Kestrel Navigator. Usage: TARNEL <portnr> (1..3)"
    "Press any key to abort!                                                         "
    "================================================================================";

std::string root_start(const std::string& line_end) {
  std::string s = kBanner + "Current effective user ID: 0, ID of calling user: 0" + line_end;
  for (const char* l : {"WARNING: You should run this program as a normal user with",
                        "suid root. This is done with the following commands:", "", "su",
                        "chown root tarnel", "chmod +s tarnel", "logout", ""}) {
    s += std::string(l) + line_end;
  }
  return s;
}

class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getuid() != 0) GTEST_SKIP() << "the expected reports are those of root";
  }
  TempDir dir_;
};

TEST_F(SimProcess, PrintsStartUpAndEndsOnOneByteOfInput) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  ChildOptions o;
  o.stdin_fd = in[0];
  o.stdout_fd = out[1];
  pid_t pid = start_child(program_path("tarnel-sim"), {"--cable", dir_.file("X"), "2"}, o);
  close(in[0]);
  close(out[1]);
  std::string text;
  const std::string accepting = "Accepting connections through port LPT2, port addr: 956\n";
  ASSERT_TRUE(read_until(out[0], accepting, 10000, &text)) << text;
  EXPECT_EQ(text, root_start("\n") + "Trying to allocate port: Success!\n" + accepting);
  // Still serving until a key arrives.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
  ASSERT_EQ(write(in[1], "k", 1), 1);
  text += read_until_eof(out[0], 10000);
  int status = wait_child(pid, 10000);
  EXPECT_EQ(text.substr(text.size() - 17), "Program aborted.\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(in[1]);
  close(out[0]);
}

TEST_F(SimProcess, StandardInputAtEndOfFileEndsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  const auto [text, status] = run_to_end(program_path("tarnel-sim"), {"--cable", dir_.file("X")});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(text, root_start("\n") +
                      "Trying to allocate port: Success!\n"
                      "Accepting connections through port LPT1, port addr: 888\n"
                      "Program aborted.\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SimProcess, DefaultCableIsNamedAfterThePortInWorkingDirectory) {
  int devnull = open("/dev/null", O_RDONLY);
  ChildOptions o;
  o.stdin_fd = devnull;
  o.stdout_fd = devnull;
  o.cwd = dir_.path();
  pid_t pid = start_child(program_path("tarnel-sim"), {"3"}, o);
  wait_child(pid, 10000);
  EXPECT_EQ(access(dir_.file("tarnel-lpt3.cable").c_str(), F_OK), 0);
  close(devnull);
}

struct BadCable {
  const char* name;
  std::string bytes;
};

TEST_F(SimProcess, UnusableCableFileIsAFailedAllocationAndStaysUnchanged) {
  const BadCable cases[] = {
      {"short", std::string(100, 'x')},
      {"magic", std::string("NOTCABLE") + std::string(4088, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file(c.name);
    write_file(path, c.bytes);
    const auto [text, status] = run_to_end(program_path("tarnel-sim"), {"--cable", path});
    std::string tail = "Trying to allocate port: Failed!\nProgram aborted.\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    // One line before it says why, naming the file.
    std::string before = text.substr(0, text.size() - tail.size());
    size_t reason = before.rfind('\n', before.size() - 2);
    EXPECT_NE(before.substr(reason + 1).find(path), std::string::npos) << text;
    EXPECT_EQ(text.find("Accepting"), std::string::npos);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(path), c.bytes);
  }
}

// Two servers on one cable would split the client's commands between them:
// the second one's allocation fails and it says why.
TEST(SimProcesses, SecondServerOnACableFailsToAllocateAndSaysWhy) {
  TempDir dir;
  const std::string cable = dir.file("X");
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  ChildOptions o;
  o.stdin_fd = in[0];
  o.stdout_fd = out[1];
  const pid_t first = start_child(program_path("tarnel-sim"), {"--cable", cable}, o);
  close(in[0]);
  close(out[1]);
  std::string text;
  ASSERT_TRUE(read_until(out[0], "Accepting connections", 10000, &text)) << text;

  const int devnull = open("/dev/null", O_RDONLY);
  int out2[2];
  ASSERT_EQ(pipe(out2), 0);
  ChildOptions o2;
  o2.stdin_fd = devnull;
  o2.stdout_fd = out2[1];
  const pid_t second = start_child(program_path("tarnel-sim"), {"--cable", cable}, o2);
  close(out2[1]);
  close(devnull);
  const std::string text2 = read_until_eof(out2[0], 10000);
  const int status2 = wait_child(second, 10000);
  close(out2[0]);
  const std::string tail = "Cannot use the virtual cable " + cable +
                           ": end A is taken by another program\n"
                           "Trying to allocate port: Failed!\n";
  EXPECT_NE(text2.find(tail), std::string::npos) << text2;
  EXPECT_EQ(text2.find("Accepting"), std::string::npos) << text2;
  ASSERT_TRUE(WIFEXITED(status2));
  EXPECT_EQ(WEXITSTATUS(status2), 0);

  // The first one still serves until its key.
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
  ASSERT_EQ(write(in[1], "k", 1), 1);
  const int status = wait_child(first, 10000);
  ASSERT_TRUE(WIFEXITED(status));
  close(in[1]);
  close(out[0]);
}

// The console is a report, not the job: a server whose standard output is
// a pipe that nobody reads any more keeps serving.
TEST(SimProcesses, KeepsServingWhenItsConsoleGoesAway) {
  TempDir dir;
  const std::string cable = dir.file("X");
  {
    std::string why;
    ASSERT_TRUE(VirtualCable::open(cable, 0, &why)) << why;
  }
  int in[2], out[2];
  // O_CLOEXEC: the server must not hold the read end itself.
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ChildOptions o;
  o.stdin_fd = in[0];
  o.stdout_fd = out[1];
  const pid_t server = start_child(program_path("tarnel-sim"), {"--cable", cable}, o);
  close(in[0]);
  close(out[1]);
  std::string text;
  ASSERT_TRUE(read_until(out[0], "Accepting connections", 10000, &text)) << text;
  close(out[0]);  // the reader goes away

  const int devnull = open("/dev/null", O_RDWR);
  ChildOptions quiet;
  quiet.stdin_fd = devnull;
  quiet.stdout_fd = devnull;
  quiet.stderr_fd = devnull;
  // The first command's echo meets the broken pipe; the second shows that
  // the server lived through it.
  for (int i = 0; i < 2; ++i) {
    const pid_t client =
        start_child(program_path("tarnel-client"), {"--cable", cable, "connect"}, quiet);
    const int status = wait_child(client, 30000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client " << i << ": " << status;
  }
  close(devnull);
  int status = 0;
  if (waitpid(server, &status, WNOHANG) == 0) {  // a dead server's keyboard is a broken pipe
    ASSERT_EQ(write(in[1], "k", 1), 1);
    status = wait_child(server, 10000);
  }
  close(in[1]);
  EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A console that takes nothing (a pipe whose reader has stopped reading)
// must not hold the server up either: what it cannot take is dropped.
TEST(SimProcesses, KeepsServingWhenItsConsoleTakesNothing) {
  TempDir dir;
  const std::string cable = dir.file("X");
  {
    std::string why;
    ASSERT_TRUE(VirtualCable::open(cable, 0, &why)) << why;
  }
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  // Fill the pipe to the brim, then make it blocking again for the server.
  ASSERT_EQ(fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
  const std::string junk(4096, 'j');
  while (write(out[1], junk.data(), junk.size()) > 0) {
  }
  ASSERT_EQ(fcntl(out[1], F_SETFL, 0), 0);
  ChildOptions o;
  o.stdin_fd = in[0];
  o.stdout_fd = out[1];
  const pid_t server = start_child(program_path("tarnel-sim"), {"--cable", cable}, o);
  close(in[0]);
  close(out[1]);

  const int devnull = open("/dev/null", O_RDWR);
  ChildOptions quiet;
  quiet.stdin_fd = devnull;
  quiet.stdout_fd = devnull;
  quiet.stderr_fd = devnull;
  for (int i = 0; i < 2; ++i) {
    const pid_t client = start_child(program_path("tarnel-client"),
                                     {"--cable", cable, "--timeout", "5", "connect"}, quiet);
    const int status = wait_child(client, 30000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client " << i << ": " << status;
  }
  close(devnull);
  ASSERT_EQ(write(in[1], "k", 1), 1);
  const int status = wait_child(server, 10000);
  close(in[1]);
  close(out[0]);
  ASSERT_NE(status, -1) << "the server did not end on its key";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RealPort, KernelRefusalEndsWithFailedAllocation) {
  // Standard input at its end: the program ends at once even where the port
  // is granted.
  const auto [text, status] = run_to_end(program_path("tarnel"), {});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  if (text.find("Trying to allocate port: Success!") != std::string::npos) {
    GTEST_SKIP() << "this kernel grants ioperm to the test";
  }
  std::string tail = "Trying to allocate port: Failed!\nProgram aborted.\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

/// A pseudo-terminal for a test, with its settings as they were at the start.
class PseudoTerminal {
 protected:
  PseudoTerminal() = default;
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  /// Opens the terminal; false where there is none. The caller notes its
  /// settings in before_.
  bool open_terminal() { return openpty(&master_, &slave_, nullptr, nullptr, nullptr) == 0; }
  bool same_as_before() {
    termios now;
    if (tcgetattr(slave_, &now) != 0) return false;
    return now.c_iflag == before_.c_iflag && now.c_oflag == before_.c_oflag &&
           now.c_lflag == before_.c_lflag && now.c_cflag == before_.c_cflag;
  }
  int master_ = -1, slave_ = -1;
  termios before_{};
};

// The terminal: raw while the server runs on it, put back on every way out.
class Terminal : public SimProcess, protected PseudoTerminal {
 protected:
  void SetUp() override {
    SimProcess::SetUp();
    if (IsSkipped()) return;
    if (!open_terminal()) GTEST_SKIP() << "no pseudo-terminal here";
    ASSERT_EQ(tcgetattr(slave_, &before_), 0);
  }
  bool canonical() {
    termios now;
    return tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON);
  }
  /// Starts tarnel-sim with the terminal as its keyboard and console and
  /// reads until it serves; returns its pid, or -1 (killed) when it does not.
  pid_t start_on_terminal(std::string* text) {
    ChildOptions o;
    o.stdin_fd = slave_;
    o.stdout_fd = slave_;
    o.before_exec = [] {
      // No core files from the signals these tests send.
      const rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none);
    };
    const pid_t pid = start_child(program_path("tarnel-sim"), {"--cable", dir_.file("X")}, o);
    if (read_until(master_, "port addr: 888\r\n", 10000, text)) return pid;
    wait_child(pid, 0);
    return -1;
  }
};

TEST_F(Terminal, RawWhileServingAndRestoredAfterAKey) {
  std::string text;
  const pid_t pid = start_on_terminal(&text);
  ASSERT_GT(pid, 0) << text;
  // In raw mode the program itself returns to the first column.
  EXPECT_NE(text.find("Trying to allocate port: Success!\r\nAccepting"), std::string::npos);
  EXPECT_EQ(text.find("\r\r\n"), std::string::npos);
  EXPECT_FALSE(canonical());
  // One key, without Enter, ends it.
  ASSERT_EQ(write(master_, "q", 1), 1);
  int status = wait_child(pid, 10000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(same_as_before());
}

TEST_F(Terminal, RestoredAfterSigterm) {
  std::string text;
  const pid_t pid = start_on_terminal(&text);
  ASSERT_GT(pid, 0) << text;
  EXPECT_FALSE(canonical());
  kill(pid, SIGTERM);
  wait_child(pid, 10000);
  EXPECT_TRUE(same_as_before());
}

struct FatalSignal {
  const char* name;
  int signal;    // sent with kill(); 0: the cable file is cut short instead
  int expected;  // the signal that ends the server
};

// Whatever signal ends the program, the operator gets the terminal back as
// it was; and the program still ends by that signal, as its parent expects.
TEST_F(Terminal, RestoredOnEverySignalThatEndsTheProgram) {
  const FatalSignal cases[] = {
      // The mapping of a cable file cut to nothing faults at the next poll.
      {"TruncatedCable", 0, SIGBUS}, {"Segv", SIGSEGV, SIGSEGV},  {"Abort", SIGABRT, SIGABRT},
      {"Usr1", SIGUSR1, SIGUSR1},    {"Alarm", SIGALRM, SIGALRM}, {"Hangup", SIGHUP, SIGHUP},
  };
  for (const FatalSignal& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(same_as_before());
    std::string text;
    const pid_t pid = start_on_terminal(&text);
    ASSERT_GT(pid, 0) << text;
    EXPECT_FALSE(canonical());
    if (c.signal == 0) {
      ASSERT_EQ(truncate(dir_.file("X").c_str(), 0), 0);
    } else {
      kill(pid, c.signal);
    }
    const int status = wait_child(pid, 10000);
    ASSERT_NE(status, -1) << "still running";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.expected) << status;
    EXPECT_TRUE(same_as_before());
    tcsetattr(slave_, TCSANOW, &before_);
    unlink(dir_.file("X").c_str());
  }
}

TEST_F(Terminal, OutputToFileLeavesTheTerminalAlone) {
  std::string out_path = dir_.file("console.txt");
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ChildOptions o;
  o.stdin_fd = slave_;
  o.stdout_fd = out;
  pid_t pid = start_child(program_path("tarnel-sim"), {"--cable", dir_.file("X")}, o);
  close(out);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (read_file(out_path).find("Accepting") == std::string::npos &&
         std::chrono::steady_clock::now() < end) {
    usleep(10000);
  }
  EXPECT_TRUE(same_as_before());
  // The terminal still takes whole lines.
  ASSERT_EQ(write(master_, "q\n", 2), 2);
  int status = wait_child(pid, 10000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(same_as_before());
  std::string text = read_file(out_path);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 17), "Program aborted.\n");
}

// ---- The console's terminal, in a process of its own -------------------------

/// Runs `body` in a child process whose standard output is `terminal`, and
/// returns what it reported: empty when everything went as it should.
std::string in_child_on(int terminal, const std::function<std::string()>& body) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    std::string what = dup2(terminal, STDOUT_FILENO) == STDOUT_FILENO ? body() : "no dup2";
    if (write(report[1], what.data(), what.size()) < 0) _exit(2);
    _exit(0);
  }
  close(report[1]);
  std::string what = read_until_eof(report[0], 10000);
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) what += " (the child did not end well)";
  return what;
}

bool raw(int fd) {
  termios now;
  return tcgetattr(fd, &now) == 0 && (now.c_lflag & ICANON) == 0 && (now.c_oflag & OPOST) == 0;
}

int refuse_settings(int, int, const termios*) {
  errno = EIO;
  return -1;
}

bool interrupted_once = false;
int interrupted_then_set(int fd, int when, const termios* settings) {
  if (!interrupted_once) {
    interrupted_once = true;
    errno = EINTR;
    return -1;
  }
  return tcsetattr(fd, when, settings);
}

class ConsoleTerminal : public ::testing::Test, protected PseudoTerminal {
 protected:
  void SetUp() override {
    if (!open_terminal()) GTEST_SKIP() << "no pseudo-terminal here";
    ASSERT_EQ(tcgetattr(slave_, &before_), 0);
  }
  /// What the terminal shows, once it shows `end`.
  std::string shown(const std::string& end) {
    std::string text;
    read_until(master_, end, 2000, &text);
    return text;
  }
};

// A cooked terminal turns a line feed into CR LF by itself: the "\r\n" of a
// raw one would show as "\r\r\n".
TEST_F(ConsoleTerminal, ThatCannotBeMadeRawServesAsItIs) {
  EXPECT_EQ(in_child_on(slave_,
                        [] {
                          StdConsole::replace_settings_call(&refuse_settings);
                          StdConsole console;
                          console.prepare();
                          if (raw(STDOUT_FILENO)) return std::string("raw");
                          console.line("line");
                          if (!StdConsole::restore())
                            return std::string("nothing to restore, yet not done");
                          return std::string();
                        }),
            "");
  EXPECT_EQ(shown("line\r\n"), "line\r\n");
  EXPECT_TRUE(same_as_before());
}

TEST_F(ConsoleTerminal, ASignalBreakingInDoesNotKeepItFromRawMode) {
  EXPECT_EQ(in_child_on(slave_,
                        [] {
                          StdConsole::replace_settings_call(&interrupted_then_set);
                          StdConsole console;
                          console.prepare();
                          if (!raw(STDOUT_FILENO)) return std::string("not raw");
                          console.line("line");
                          if (!StdConsole::restore()) return std::string("not restored");
                          return std::string();
                        }),
            "");
  EXPECT_EQ(shown("line\r\n"), "line\r\n");
  EXPECT_TRUE(same_as_before());
}

// Standard output on something that is no terminal (as if the terminal had
// gone) refuses the settings: the console stays raw as far as it knows, and
// the next try, on the terminal again, puts them back.
TEST_F(ConsoleTerminal, RefusedRestoreIsNotTakenForDone) {
  EXPECT_EQ(in_child_on(slave_,
                        [] {
                          StdConsole console;
                          console.prepare();
                          if (!raw(STDOUT_FILENO)) return std::string("not raw");
                          const int terminal = dup(STDOUT_FILENO);
                          const int devnull = open("/dev/null", O_WRONLY);
                          if (terminal < 0 || devnull < 0 ||
                              dup2(devnull, STDOUT_FILENO) != STDOUT_FILENO) {
                            return std::string("no descriptors");
                          }
                          const bool refused = !StdConsole::restore();
                          if (dup2(terminal, STDOUT_FILENO) != STDOUT_FILENO)
                            return std::string("no dup2");
                          if (!refused) return std::string("restore on /dev/null reported done");
                          if (!raw(STDOUT_FILENO)) return std::string("not raw after the refusal");
                          console.line("raw");
                          if (!StdConsole::restore()) return std::string("second restore failed");
                          console.line("cooked");
                          return std::string();
                        }),
            "");
  EXPECT_EQ(shown("cooked\r\n"), "raw\r\ncooked\r\n");
  EXPECT_TRUE(same_as_before());
}

}  // namespace
}  // namespace tarnel
