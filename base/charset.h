// Names in the other PC's code page and in UTF-8, the local side's.
//
// A code page is taken as iconv knows it (CP1252, CP850, CP437, CP1250,
// CP866, ...) and only when it is a single-byte code page that keeps the
// printable ASCII bytes as they are: path separators, wildcards and the
// numbers of a listing line are then the same bytes on both sides. Its
// 256 bytes are read through iconv once, when it is opened; every
// conversion after that is a table look-up.
#ifndef TARNEL_BASE_CHARSET_H_
#define TARNEL_BASE_CHARSET_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarnel {

/// The length of the valid UTF-8 sequence that starts at `text[at]` (1 to
/// 4), or 0 when none starts there (a stray continuation byte, an overlong
/// form, a surrogate, a code point above U+10FFFF, a sequence cut short).
/// The code point goes to *code_point when it is not null.
size_t utf8_sequence(std::string_view text, size_t at, uint32_t* code_point = nullptr);

/// Whether all of `text` is valid UTF-8.
bool valid_utf8(std::string_view text);

class Charset {
 public:
  /// No code page: names are bytes, copied unchanged both ways.
  Charset() = default;

  /// Opens the code page `name`. False, with a one-line reason in *error,
  /// when iconv does not know it or it is not a single-byte code page that
  /// keeps ASCII.
  static bool open(std::string_view name, Charset* charset, std::string* error);

  /// Whether names are converted (a code page was opened).
  bool converts() const { return table_ != nullptr; }
  /// The code page's name as given; empty when there is none.
  const std::string& name() const { return name_; }

  /// The client's bytes as UTF-8. False when a byte is one that the code
  /// page leaves undefined (0x81 in CP1252); *local is then unspecified.
  bool to_utf8(std::string_view client, std::string* local) const;

  /// UTF-8 in the code page. False when `local` is not valid UTF-8 or holds
  /// a character the code page cannot show; *client is then unspecified.
  bool from_utf8(std::string_view local, std::string* client) const;

  /// The code page's byte for one character; false when it has none.
  /// Without a code page, only ASCII characters have their byte here.
  bool byte_for(uint32_t code_point, uint8_t* byte) const;

 private:
  struct Table {
    std::array<std::string, 256> utf8;  // empty: undefined byte
    std::unordered_map<uint32_t, uint8_t> bytes;
  };

  std::string name_;
  std::shared_ptr<const Table> table_;
};

}  // namespace tarnel

#endif  // TARNEL_BASE_CHARSET_H_
