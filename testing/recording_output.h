// An output for tests of the client's commands: keeps what a command printed
// on each stream, and says standard error is a terminal only when told to.
#ifndef TARNEL_TESTING_RECORDING_OUTPUT_H_
#define TARNEL_TESTING_RECORDING_OUTPUT_H_

#include <string>
#include <string_view>
#include <vector>

#include "client/output.h"

namespace tarnel::testing {

class RecordingOutput : public client::Output {
 public:
  void out(std::string_view bytes) override { out_.append(bytes); }
  void err(std::string_view bytes) override { err_.append(bytes); }
  bool err_is_terminal() override { return terminal_; }

  void set_terminal(bool terminal) { terminal_ = terminal; }
  /// Everything written to each stream.
  const std::string& out_bytes() const { return out_; }
  const std::string& err_bytes() const { return err_; }
  /// The same, as lines without their line ends (an unfinished last line
  /// counts as a line).
  std::vector<std::string> out_lines() const { return split(out_); }
  std::vector<std::string> err_lines() const { return split(err_); }

 private:
  static std::vector<std::string> split(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t end = bytes.find('\n', at);
      if (end == std::string::npos) {
        lines.push_back(bytes.substr(at));
        break;
      }
      lines.push_back(bytes.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }

  std::string out_;
  std::string err_;
  bool terminal_ = false;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_RECORDING_OUTPUT_H_
