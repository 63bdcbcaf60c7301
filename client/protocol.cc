#include "client/protocol.h"

#include <cstdio>
#include <limits>

#include "base/time_stamp.h"
#include "base/wire_words.h"

namespace tarnel::client {

bool parse_decimal(std::string_view text, int64_t min, int64_t max, int64_t* out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 19) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return false;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

bool reply_number(std::string_view text, std::string_view word, int32_t* n) {
  if (text.substr(0, word.size()) != word) return false;
  int64_t v;
  if (!parse_decimal(text.substr(word.size()), std::numeric_limits<int32_t>::min(),
                     std::numeric_limits<int32_t>::max(), &v)) {
    return false;
  }
  *n = static_cast<int32_t>(v);
  return true;
}

std::string error_meaning(std::string_view word, int32_t number, bool listing) {
  // The listing answers with the number of its directory search.
  if (listing) return std::string(search_error_meaning(number));
  if (word == ANSWER_REST_ERROR && number == REST_ERROR_NO_UPLOAD) {
    return std::string(REST_ERROR_NO_UPLOAD_MEANING);
  }
  return std::string(io_error_meaning(number));
}

Outcome error_reply(std::string_view text, bool listing) {
  struct Word {
    std::string_view word;
    Exit exit;
  };
  static constexpr Word kWords[] = {
      {ANSWER_FILE_ERROR, Exit::kFileError},
      {ANSWER_DIR_ERROR, Exit::kDirError},
      {ANSWER_RENAME_ERROR, Exit::kRenameError},
      {ANSWER_REST_ERROR, Exit::kRestError},
  };
  for (const Word& w : kWords) {
    int32_t n;
    if (reply_number(text, w.word, &n)) {
      return Outcome::Fail(
          w.exit, "the server answered \"" + std::string(text) +
                      "\": " + error_meaning(w.word, n, listing && w.exit == Exit::kDirError));
    }
  }
  return Outcome::Ok();
}

int32_t pack_local_time(time_t t) {
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return pack_time_stamp(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                         tm.tm_sec);
}

std::string format_stamp(int32_t stamp) {
  LocalTime f;
  if (!unpack_time_stamp(stamp, &f)) return "\?\?\?\?-\?\?-\?\? \?\?:\?\?:\?\?";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
                f.minute, f.second);
  return buf;
}

bool stamp_to_time(int32_t stamp, time_t* out) {
  LocalTime f;
  if (!unpack_time_stamp(stamp, &f)) return false;
  struct tm tm = {};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  *out = t;
  return true;
}

std::string attribute_flags(int32_t attributes) {
  struct Flag {
    int32_t bit;
    char letter;
  };
  static constexpr Flag kFlags[] = {{ATTRIBUTE_DIRECTORY, 'd'},    {ATTRIBUTE_READ_ONLY, 'r'},
                                    {ATTRIBUTE_HIDDEN, 'h'},       {ATTRIBUTE_SYSTEM, 's'},
                                    {ATTRIBUTE_VOLUME_LABEL, 'v'}, {ATTRIBUTE_ARCHIVE, 'a'}};
  std::string flags;
  for (const Flag& f : kFlags) flags += (attributes & f.bit) ? f.letter : '-';
  return flags;
}

namespace {

bool parse_line(std::string_view line, ListingEntry* entry) {
  // From the right: attributes, stamp, size; the rest is the name.
  size_t end = line.size();
  int64_t numbers[3];
  for (int i = 2; i >= 0; --i) {
    if (end == 0) return false;
    const size_t tab = line.rfind('\t', end - 1);
    if (tab == std::string_view::npos) return false;
    if (!parse_decimal(line.substr(tab + 1, end - tab - 1), std::numeric_limits<int32_t>::min(),
                       std::numeric_limits<int32_t>::max(), &numbers[i])) {
      return false;
    }
    end = tab;
  }
  if (end == 0) return false;  // no name
  entry->name.assign(line.substr(0, end));
  entry->size = static_cast<int32_t>(numbers[0]);
  entry->stamp = static_cast<int32_t>(numbers[1]);
  entry->attributes = static_cast<int32_t>(numbers[2]);
  return true;
}

}  // namespace

std::vector<ListingLine> parse_listing(std::string_view data) {
  std::vector<ListingLine> lines;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find("\r\n", start);
    const size_t next = end == std::string_view::npos ? data.size() : end + 2;
    if (end == std::string_view::npos) end = data.size();
    ListingLine line;
    line.raw.assign(data.substr(start, end - start));
    line.parsed = parse_line(line.raw, &line.entry);
    lines.push_back(std::move(line));
    start = next;
  }
  return lines;
}

void to_client_view(const uint8_t* in, size_t n, std::string& out) {
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == '\n') out += '\r';
    out += static_cast<char>(in[i]);
  }
}

void FromClientView::convert(const uint8_t* in, size_t n, std::string& out) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    if (pending_cr_) {
      pending_cr_ = false;
      if (b == '\n') {
        out += '\n';
        continue;
      }
      out += '\r';
    }
    if (b == '\r') {
      pending_cr_ = true;
    } else {
      out += static_cast<char>(b);
    }
  }
}

void FromClientView::finish(std::string& out) {
  if (pending_cr_) out += '\r';
  pending_cr_ = false;
}

void TextCounts::add(const uint8_t* p, size_t n) {
  bytes += static_cast<int64_t>(n);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == '\n') {
      ++lf;
    } else if (p[i] == '\r') {
      ++cr;
    }
  }
}

}  // namespace tarnel::client
