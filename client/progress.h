// A progress bar on standard error while a transfer runs, drawn only when
// standard error is a terminal.
#ifndef TARNEL_CLIENT_PROGRESS_H_
#define TARNEL_CLIENT_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "client/output.h"

namespace tarnel::client {

class Progress {
 public:
  /// `total`: bytes this run moves; `label`: what moves (a file name). The
  /// bar goes to the standard error of `output`.
  Progress(Output& output, std::string label, int64_t total);
  /// Ends the bar's line when one was drawn.
  ~Progress();

  /// `done` bytes of `total` moved; redraws at most ten times a second.
  void update(int64_t done);
  /// Ends the bar's line (when one was drawn); nothing is drawn afterwards.
  void finish();

  // For one bar over a copy of several files:
  /// The bytes moved so far (the last update).
  int64_t done() const { return done_; }
  /// Counts `bytes` more (or fewer) to move than said so far.
  void add_total(int64_t bytes) { total_ += bytes; }
  /// What moves now (a file name).
  void set_label(std::string label) { label_ = std::move(label); }
  /// Takes the drawn bar off the terminal, so that a report line can be
  /// written in its place; the next update draws it again.
  void clear();

  /// The bar's text: label, bytes, percent, rate and time left.
  static std::string line(const std::string& label, int64_t done, int64_t total, double seconds);

 private:
  void draw(int64_t done);

  Output& output_;
  std::string label_;
  int64_t total_;
  int64_t done_ = 0;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_PROGRESS_H_
