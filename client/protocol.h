// What the client reads out of the server's replies and listings, and the
// conversions of text mode. No link access here: plain functions on bytes.
//
// Replies the client expects:
//   "OK", "OK A"                          a command done, a connection made
//   "FILE ERROR n", "DIR ERROR n",
//   "RENAME ERROR n", "REST ERROR n"      a command failed with error number n
//   "REST=n"                              where a resumed upload continues
//   "REST n", "TIME n", "ATTR n", "SIZE n" the parameters of a download or listing
//   "WAIT"                                keep-alive during a long scan
// Listing line: name TAB size TAB packed-stamp TAB attributes CR LF.
#ifndef TARNEL_CLIENT_PROTOCOL_H_
#define TARNEL_CLIENT_PROTOCOL_H_

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/time_stamp.h"
#include "client/outcome.h"

namespace tarnel::client {

/// A signed decimal number of the wire: an optional "-", digits, nothing
/// else, within [min, max].
bool parse_decimal(std::string_view text, int64_t min, int64_t max, int64_t* out);

/// True when `text` is `word` followed by a signed 32-bit decimal number.
bool reply_number(std::string_view text, std::string_view word, int32_t* n);

/// What an error number of the server means after the error word `word`
/// ("FILE ERROR ", "DIR ERROR ", "RENAME ERROR ", "REST ERROR "). `listing`:
/// the number answers "LIST ", where it is a search error.
std::string error_meaning(std::string_view word, int32_t number, bool listing);

/// For the replies "FILE ERROR n", "DIR ERROR n", "RENAME ERROR n" and
/// "REST ERROR n": the failure, with the number and its meaning. For any
/// other text: Outcome::Ok().
Outcome error_reply(std::string_view text, bool listing);

/// The packed time stamp (FAT date and time) of `t` in this machine's local
/// time; the fields are added, so years before 1980 come out negative.
int32_t pack_local_time(time_t t);

/// "YYYY-MM-DD HH:MM:SS", or "????-??-?? ??:??:??" for no real date.
std::string format_stamp(int32_t stamp);
/// The stamp as a time of this machine's local time zone; false when it
/// names no real date.
bool stamp_to_time(int32_t stamp, time_t* out);

/// The attribute number as six flags "drhsva" (directory, read-only,
/// hidden, system, volume label, archive), "-" for each bit clear.
std::string attribute_flags(int32_t attributes);

struct ListingEntry {
  std::string name;
  int32_t size = 0;
  int32_t stamp = 0;
  int32_t attributes = 0;
};

struct ListingLine {
  bool parsed = false;  // false: the line is not name TAB size TAB stamp TAB attributes
  ListingEntry entry;
  std::string raw;  // the line without its CR LF
};

/// Splits listing data into its lines (ended by CR LF; a last line without
/// one is kept) and reads each. A name may hold TAB bytes: the numbers are
/// taken from the right.
std::vector<ListingLine> parse_listing(std::string_view data);

/// Local text (LF line ends) to the client view of text mode: every LF
/// becomes CR LF, every other byte stays.
void to_client_view(const uint8_t* in, size_t n, std::string& out);

/// The client view back to local text: the CR of each CR LF pair is dropped.
/// A CR at the end of a piece is held until the next byte shows whether an
/// LF follows; finish() puts a held CR out at the end of the data.
class FromClientView {
 public:
  void convert(const uint8_t* in, size_t n, std::string& out);
  void finish(std::string& out);
  bool holding_cr() const { return pending_cr_; }

 private:
  bool pending_cr_ = false;
};

/// Byte counts of a local file as text mode sees it.
struct TextCounts {
  int64_t bytes = 0;
  int64_t lf = 0;
  int64_t cr = 0;
  int64_t client_view() const { return bytes + lf; }
  void add(const uint8_t* p, size_t n);
};

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_PROTOCOL_H_
