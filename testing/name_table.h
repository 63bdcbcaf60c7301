// The names every test of the client's names goes through: how each local
// name travels with no code page, under CP1252 and under CP850.
#ifndef TARNEL_TESTING_NAME_TABLE_H_
#define TARNEL_TESTING_NAME_TABLE_H_

#include <string>
#include <vector>

namespace tarnel::testing {

/// The code pages of NameCase::client, in order; nullptr: names as bytes.
inline const char* const kNameCodePages[] = {nullptr, "CP1252", "CP850"};
constexpr size_t kNameCodePageCount = 3;

/// Stands for the local name itself in NameCase::client.
inline const char kSameName[] = "=";

struct NameCase {
  const char* what;
  std::string local;  // the name on this side
  /// As the client sees it under each of kNameCodePages: its bytes, kSameName
  /// for the local bytes unchanged, or nullptr for a stand-in.
  const char* client[kNameCodePageCount];
  /// Whether a control byte keeps the client from sending the name itself.
  bool unsendable = false;
};

inline const std::vector<NameCase>& name_table() {
  static const std::vector<NameCase> table = {
      {"ASCII", "plain.txt", {kSameName, kSameName, kSameName}},
      {"accents",
       "M\xC3\xBCller caf\xC3\xA9.txt",
       {kSameName, "M\xFCller caf\xE9.txt", "M\x81ller caf\x82.txt"}},
      {"euro sign",
       "\xE2\x82\xAC"
       "5.txt",
       {kSameName,
        "\x80"
        "5.txt",
        nullptr}},
      {"no code page shows it", "\xCE\xA9mega.txt", {kSameName, nullptr, nullptr}},
      {"not UTF-8", "M\xFCller.txt", {kSameName, nullptr, nullptr}},
      {"TAB", "tab\tname.txt", {nullptr, nullptr, nullptr}, true},
      {"CR LF", "cr\r\nlf.txt", {nullptr, nullptr, nullptr}, true},
      {"fake entries", "inj\t999\t684682671\t16\r\nfake", {nullptr, nullptr, nullptr}, true},
      {"ESC", "esc\x1B[31m.txt", {nullptr, nullptr, nullptr}, true},
      {"240 bytes", std::string(236, 'L') + ".txt", {nullptr, nullptr, nullptr}},
      // Long, but within the limit: it travels as it is (leaving room in a
      // command for the test's folders in front of it).
      {"200 bytes", std::string(196, 'k') + ".txt", {kSameName, kSameName, kSameName}},
      // These two differ only in characters the code pages lack (Delta, Zhe).
      {"Delta", "\xCE\x94-notes.txt", {kSameName, nullptr, nullptr}},
      {"Zhe", "\xD0\x96-notes.txt", {kSameName, nullptr, nullptr}},
  };
  return table;
}

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_NAME_TABLE_H_
