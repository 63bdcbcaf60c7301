#include "base/charset.h"

#include <iconv.h>

#include <cerrno>

namespace tarnel {

namespace {

enum class ByteKind { kDefined, kUndefined, kIncomplete };

/// One byte of the code page through iconv, from its initial state.
ByteKind convert_byte(iconv_t cd, uint8_t byte, std::string* utf8) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in[1] = {static_cast<char>(byte)};
  char out[32];
  char* in_at = in;
  size_t in_left = 1;
  char* out_at = out;
  size_t out_left = sizeof out;
  const size_t done = iconv(cd, &in_at, &in_left, &out_at, &out_left);
  if (done == static_cast<size_t>(-1)) {
    return errno == EILSEQ ? ByteKind::kUndefined : ByteKind::kIncomplete;
  }
  // A stateful encoding may hold output back until it is flushed.
  iconv(cd, nullptr, nullptr, &out_at, &out_left);
  utf8->assign(out, static_cast<size_t>(out_at - out));
  return ByteKind::kDefined;
}

}  // namespace

size_t utf8_sequence(std::string_view text, size_t at, uint32_t* code_point) {
  if (at >= text.size()) return 0;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const uint8_t lead = byte(0);
  size_t length;
  uint32_t value;
  uint32_t least;
  if (lead < 0x80) {
    if (code_point != nullptr) *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  if (code_point != nullptr) *code_point = value;
  return length;
}

bool valid_utf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8_sequence(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

bool Charset::open(std::string_view name, Charset* charset, std::string* error) {
  const std::string given(name);
  // "//TRANSLIT" and "//IGNORE" would let a conversion lose characters.
  if (given.empty() || given.find('/') != std::string::npos) {
    *error = "\"" + given + "\" is not the name of a code page";
    return false;
  }
  iconv_t cd = iconv_open("UTF-8", given.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *error = "iconv does not know the code page \"" + given + "\" (iconv -l lists them)";
    return false;
  }
  auto table = std::make_shared<Table>();
  bool usable = true;
  for (unsigned b = 0; b < 256 && usable; ++b) {
    const auto byte = static_cast<uint8_t>(b);
    std::string utf8;
    const ByteKind kind = convert_byte(cd, byte, &utf8);
    if (kind == ByteKind::kIncomplete) {
      usable = false;  // a byte that only begins a character
    } else if (b >= 0x20 && b < 0x7F) {
      usable = kind == ByteKind::kDefined && utf8 == std::string(1, static_cast<char>(b));
    } else if (b < 0x80) {
      // Control bytes stand for themselves, whatever glyphs the code page
      // may draw for them: they are never part of a usable name.
      table->utf8[b] = std::string(1, static_cast<char>(b));
    } else if (kind == ByteKind::kDefined && valid_utf8(utf8) && !utf8.empty() &&
               static_cast<uint8_t>(utf8[0]) >= 0x80) {
      // A byte above 0x7F that read as ASCII ("/" say) would let a name
      // carry a separator unseen: such a byte counts as undefined.
      table->utf8[b] = utf8;
      uint32_t code_point;
      if (utf8_sequence(utf8, 0, &code_point) == utf8.size()) {
        table->bytes.emplace(code_point, byte);  // the first byte wins
      }
    }
    if (usable && b >= 0x20 && b < 0x7F) table->utf8[b] = std::string(1, static_cast<char>(b));
  }
  iconv_close(cd);
  if (!usable) {
    *error = "\"" + given + "\" is not a single-byte code page that keeps ASCII";
    return false;
  }
  charset->name_ = given;
  charset->table_ = std::move(table);
  return true;
}

bool Charset::to_utf8(std::string_view client, std::string* local) const {
  if (!converts()) {
    local->assign(client);
    return true;
  }
  local->clear();
  for (const char c : client) {
    const std::string& utf8 = table_->utf8[static_cast<uint8_t>(c)];
    if (utf8.empty()) return false;
    *local += utf8;
  }
  return true;
}

bool Charset::from_utf8(std::string_view local, std::string* client) const {
  if (!converts()) {
    client->assign(local);
    return true;
  }
  client->clear();
  for (size_t at = 0; at < local.size();) {
    uint32_t code_point;
    const size_t length = utf8_sequence(local, at, &code_point);
    uint8_t byte;
    if (length == 0 || !byte_for(code_point, &byte)) return false;
    *client += static_cast<char>(byte);
    at += length;
  }
  return true;
}

bool Charset::byte_for(uint32_t code_point, uint8_t* byte) const {
  if (code_point < 0x80) {
    *byte = static_cast<uint8_t>(code_point);
    return true;
  }
  if (!converts()) return false;
  const auto found = table_->bytes.find(code_point);
  if (found == table_->bytes.end()) return false;
  *byte = found->second;
  return true;
}

}  // namespace tarnel
