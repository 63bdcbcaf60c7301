#include "files/names.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "files/partial.h"
#include "files/stand_in_cache.h"
#include "link/text.h"

namespace tarnel {

namespace {

constexpr char kHashDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
static_assert(sizeof kHashDigits == 33);
/// An extension longer than this is part of the usable name.
constexpr size_t kExtensionMax = 10;

bool control_byte(uint8_t b) { return b < 0x20 || b == 0x7F; }

/// Bytes that can be part of no name the client uses: control bytes, and
/// the backslash, at which the client splits its paths.
bool breaks_name(uint8_t b) { return control_byte(b) || b == '\\'; }

/// Characters that a stand-in never holds: the other PC's file system
/// refuses them in a name.
bool refused_by_client(uint8_t b) {
  return breaks_name(b) || b == '/' || b == ':' || b == '*' || b == '?' || b == '"' || b == '<' ||
         b == '>' || b == '|';
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string hash_text(std::string_view name) {
  uint64_t hash = fnv1a(name);
  std::string text(STANDIN_HASH_LENGTH, '0');
  for (size_t i = STANDIN_HASH_LENGTH; i-- > 0;) {
    text[i] = kHashDigits[hash & 31];
    hash >>= 5;
  }
  return text;
}

bool hash_digit(char c) {
  for (const char* d = kHashDigits; *d != '\0'; ++d) {
    if (*d == c) return true;
  }
  return false;
}

/// The characters of a local name as the client can show them, "_" for
/// each one that cannot travel: one piece per character (per byte where
/// the name is not UTF-8).
std::vector<std::string> usable_pieces(const Charset& charset, std::string_view name) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < name.size();) {
    uint32_t code_point = 0;
    const size_t length = utf8_sequence(name, at, &code_point);
    std::string piece = "_";
    if (length == 0) {
      // Not UTF-8: bytes as they are when there is no code page.
      const auto b = static_cast<uint8_t>(name[at]);
      if (!charset.converts() && !refused_by_client(b)) piece.assign(1, name[at]);
      at += 1;
    } else {
      uint8_t byte;
      if (!charset.converts()) {
        if (length > 1 || !refused_by_client(static_cast<uint8_t>(code_point))) {
          piece.assign(name.substr(at, length));
        }
      } else if (charset.byte_for(code_point, &byte) && !refused_by_client(byte)) {
        piece.assign(1, static_cast<char>(byte));
      }
      at += length;
    }
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

}  // namespace

const std::string& unusable_path() {
  static const std::string path(1, '\0');
  return path;
}

std::string client_path_text(std::string_view path) {
  std::string text(path.substr(0, TEXT_MAX));
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  if (text.empty() || text[0] != '/') text.insert(text.begin(), '/');
  return cut_text(text);
}

bool ClientNames::travels(std::string_view local_name, std::string* client) const {
  for (const char c : local_name) {
    if (breaks_name(static_cast<uint8_t>(c))) return false;
  }
  if (!charset_.from_utf8(local_name, client)) return false;
  if (client->size() > LISTING_NAME_MAX) return false;
  // Only a name that comes back as itself can be named by the client.
  std::string back;
  return !charset_.converts() || (charset_.to_utf8(*client, &back) && back == local_name);
}

std::string ClientNames::client_name(std::string_view local_name) const {
  std::string client;
  if (travels(local_name, &client)) return client;
  return stand_in(local_name);
}

std::string ClientNames::stand_in(std::string_view local_name) const {
  std::vector<std::string> pieces = usable_pieces(charset_, local_name);
  // The extension, when the name has a short one that travels whole: the
  // client then still sees what kind of file it is.
  std::string extension;
  size_t stem_pieces = pieces.size();
  for (size_t i = pieces.size(); i-- > 1;) {
    if (pieces[i] == ".") {
      const size_t count = pieces.size() - i - 1;
      std::string text;
      bool whole = count > 0 && count <= kExtensionMax;
      for (size_t k = i + 1; k < pieces.size() && whole; ++k) {
        whole = pieces[k] != "_" && pieces[k] != " ";
        text += pieces[k];
      }
      if (whole) {
        extension = "." + text;
        stem_pieces = i;
      }
      break;
    }
  }
  const size_t room = STANDIN_MAX - 1 - STANDIN_HASH_LENGTH - extension.size();
  std::string stand_in;
  for (size_t i = 0; i < stem_pieces && stand_in.size() + pieces[i].size() <= room; ++i) {
    stand_in += pieces[i];
  }
  return stand_in + "~" + hash_text(local_name) + extension;
}

bool ClientNames::looks_like_stand_in(std::string_view name) {
  const size_t tilde = name.rfind('~');
  if (tilde == std::string_view::npos || name.size() - tilde - 1 < STANDIN_HASH_LENGTH) {
    return false;
  }
  for (size_t i = tilde + 1; i <= tilde + STANDIN_HASH_LENGTH; ++i) {
    if (!hash_digit(name[i])) return false;
  }
  const size_t rest = tilde + 1 + STANDIN_HASH_LENGTH;
  return rest == name.size() || name[rest] == '.';
}

bool ClientNames::local_name(std::string_view client_component, std::string* local) const {
  for (const char c : client_component) {
    if (control_byte(static_cast<uint8_t>(c))) return false;
  }
  return charset_.to_utf8(client_component, local);
}

bool ClientNames::named_by_stand_in(std::string_view local_name) const {
  std::string client;
  return local_name != "." && local_name != ".." && !travels(local_name, &client);
}

bool ClientNames::names_an_entry(FileSystem& fs, const std::string& directory,
                                 std::string_view client_name) const {
  std::string name;
  if (!local_name(client_name, &name)) return false;
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  struct stat st;
  return fs.lstat(path + name, st) == 0;
}

std::string ClientNames::local_path(FileSystem& fs, std::string_view client_path,
                                    NameUse use) const {
  // Remembers nothing past this path: each stand-in reads its directory.
  StandInCache once(*this, 0);
  return local_path(fs, client_path, use, once);
}

std::string ClientNames::local_path(FileSystem& fs, std::string_view client_path, NameUse use,
                                    StandInCache& cache) const {
  const std::string text = client_path_text(client_path);
  std::string local;
  size_t at = 1;  // after the leading "/"
  for (;;) {
    const size_t end = std::min(text.find('/', at), text.size());
    const bool last = end == text.size();
    const std::string_view component = std::string_view(text).substr(at, end - at);
    std::string name;
    if (!local_name(component, &name)) return unusable_path();
    if (looks_like_stand_in(component)) {
      // An entry of exactly that name comes first: a stand-in that is also
      // a real name reaches that entry, never the one it was made for.
      const std::string direct = local + "/" + name;
      struct stat st;
      if (fs.lstat(direct, st) != 0 && errno == ENOENT) {
        std::string entry;
        const int found = cache.find(fs, local, component, &entry);
        if (found > 1 || (found == 1 && last && use == NameUse::kNew)) return unusable_path();
        if (found == 1) name = entry;
      }
    }
    local += "/";
    local += name;
    // An upload's partial file is the server's own, whatever its name.
    if (last) return is_partial_path(local) ? refused_path() : local;
    at = end + 1;
  }
}

}  // namespace tarnel
