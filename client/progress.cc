#include "client/progress.h"

#include <algorithm>
#include <cstdio>

#include "base/console.h"

namespace tarnel::client {
namespace {

std::string bytes_text(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return buf;
}

}  // namespace

Progress::Progress(Output& output, std::string label, int64_t total)
    : output_(output),
      label_(std::move(label)),
      total_(total),
      enabled_(output.err_is_terminal()),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() { finish(); }

void Progress::finish() {
  if (drawn_) output_.err("\n");
  drawn_ = false;
  enabled_ = false;
}

void Progress::clear() {
  if (!drawn_) return;
  output_.err("\r\033[K");
  drawn_ = false;
}

std::string Progress::line(const std::string& label, int64_t done, int64_t total, double seconds) {
  const int percent = total > 0 ? static_cast<int>(std::min(done, total) * 100 / total) : 100;
  constexpr int kWidth = 20;
  const int filled = percent * kWidth / 100;
  std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "]";
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string left = "--:--";
  if (rate > 0 && total >= done) {
    const long s = static_cast<long>(static_cast<double>(total - done) / rate + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    left = buf;
  }
  char buf[256];
  std::snprintf(buf, sizeof buf, "%s %s %3d%% %s / %s  %s/s  %s left", label.c_str(), bar.c_str(),
                percent, bytes_text(static_cast<double>(done)).c_str(),
                bytes_text(static_cast<double>(total)).c_str(), bytes_text(rate).c_str(),
                left.c_str());
  return buf;
}

void Progress::update(int64_t done) {
  done_ = done;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(done);
}

void Progress::draw(int64_t done) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // The label is a name from the server, or from this machine's disk.
  std::string text = "\r" + line(visible_text(label_), done, total_, seconds) + "\033[K";
  output_.err(text);
  drawn_ = true;
}

}  // namespace tarnel::client
