#include "files/listing.h"

#include <cstring>

#include "base/numbers.h"
#include "base/wire_words.h"
#include "files/errors.h"
#include "link/frame.h"
#include "link/send.h"
#include "link/text.h"

namespace tarnel {

namespace {

bool is_dot_entry(const std::string& name) { return name == "." || name == ".."; }

/// The second pass: fills blocks with whole lines and sends them.
class BlockSender {
 public:
  BlockSender(Lines& lines, Console& console) : lines_(lines), console_(console) {
    frame_.length = 0;
  }

  bool ok() const { return ok_; }

  void add(const std::string& line) {
    if (!ok_) return;
    const auto length = static_cast<int32_t>(line.size());
    // A block never passes the frame's payload limit: one that the next
    // line would overflow goes out first.
    if (frame_.length + length > FRAME_MAX_PAYLOAD) {
      send_full_block();
      if (!ok_) return;
    }
    std::memcpy(frame_.data + frame_.length, line.data(), line.size());
    frame_.length += length;
    if (frame_.length > LISTING_BLOCK_FILL) send_full_block();
  }

  /// Sends what is left, without a "*".
  void finish() {
    if (frame_.length > 0 && ok_) {
      frame_.number = number_;
      ok_ = send_frame(lines_, frame_) == SendResult::SEND_OK;
    }
    frame_.length = 0;
  }

 private:
  void send_full_block() {
    abort_flag = console_.key_pending();
    if (abort_flag) {
      FrameBuffer cancel;
      cancel.length = 0;
      cancel.number = FRAME_CANCEL;
      send_frame(lines_, cancel);  // the listing ends either way
      ok_ = false;
    } else {
      frame_.number = number_;
      ok_ = send_frame(lines_, frame_) == SendResult::SEND_OK;
      ++number_;
      console_.write("*");
    }
    frame_.length = 0;
  }

  Lines& lines_;
  Console& console_;
  FrameBuffer frame_;
  int32_t number_ = 1;
  bool ok_ = true;
};

}  // namespace

std::string listing_search_path(std::string_view path) {
  std::string search = client_path_text(path);
  if (search.back() == '/') search = cut_text(search + "*.*");
  return search;
}

bool listing_line(const FoundEntry& entry, std::string& line) {
  line = entry.name;
  line += '\t';
  line += number_to_text(entry.size);
  line += '\t';
  line += number_to_text(entry.time_stamp);
  line += '\t';
  line += number_to_text(entry.attributes);
  line += "\r\n";
  if (line.size() > TEXT_MAX) {
    line.clear();
    return false;
  }
  return true;
}

bool list_directory(Lines& lines, Console& console, FileSystem& fs, std::string_view path,
                    const SecondsClock& clock, const ClientNames& names, StandInCache* cache) {
  if (lines.busy()) return false;
  int64_t last_keep_alive = clock();
  const std::string search_path = listing_search_path(path);

  SearchRecord record;
  find_first(fs, search_path, SEARCH_ALL_ATTRIBUTES, record, names, cache);
  if (search_error != SEARCH_OK) {
    return send_text(lines, std::string(ANSWER_DIR_ERROR) + number_to_text(search_error));
  }

  // First pass: the total. Its lines are built only to be counted.
  int32_t total = 0;
  bool ok = true;
  std::string line;
  while (search_error == SEARCH_OK && ok) {
    if (!is_dot_entry(record.found.name) && listing_line(record.found, line)) {
      // Saturating: past 2^31 bytes the count cannot be told anyway.
      const int64_t sum = int64_t{total} + static_cast<int64_t>(line.size());
      total = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
    }
    const int64_t now = clock();
    if (now >= last_keep_alive + 1) {
      last_keep_alive = now;
      ok = send_text(lines, ANSWER_WAIT);
    }
    find_next(record);
  }
  find_close(record);
  // Sent even after a "WAIT" failed: a client that missed one keep-alive is
  // still waiting for the size, and a second failure ends the listing here.
  ok = send_text(lines, std::string(ANSWER_SIZE) + number_to_text(total));
  if (!ok || total == 0) return ok;

  // Second pass: the same lines again, this time sent. Once a block fails
  // the directory is still read to its end, but nothing more is sent.
  find_first(fs, search_path, SEARCH_ALL_ATTRIBUTES, record, names, cache);
  abort_flag = false;
  lines.set_busy(true);
  BlockSender blocks(lines, console);
  while (search_error == SEARCH_OK) {
    if (!is_dot_entry(record.found.name) && listing_line(record.found, line)) blocks.add(line);
    find_next(record);
  }
  find_close(record);
  blocks.finish();
  lines.set_busy(false);
  return blocks.ok();
}

}  // namespace tarnel
