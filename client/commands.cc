#include "client/commands.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "base/wire_words.h"
#include "client/command_table.h"
#include "client/protocol.h"
#include "link/text.h"

namespace tarnel::client {
namespace {

/// Whether `text` (UTF-8 here) is longer than a text of the link once in
/// the code page it travels in. A text the code page cannot write is
/// measured as it is; sending it is refused with its own message.
bool longer_on_wire(const Charset& charset, std::string_view text) {
  std::string wire;
  return (charset.from_utf8(text, &wire) ? wire.size() : text.size()) > TEXT_MAX;
}

/// Sends `text` and takes its reply: "OK", or an error reply.
Outcome send_expecting_ok(Session& session, const std::string& text) {
  Outcome o = session.send_command(text);
  if (!o.ok()) return o;
  std::string reply;
  o = session.next_reply(&reply);
  if (!o.ok()) return o;
  if (reply == ANSWER_OK) return Outcome::Ok();
  o = error_reply(reply, false);
  if (!o.ok()) return o;
  return Outcome::Fail(Exit::kUnexpectedReply, "unexpected reply \"" + reply + "\" to " + text);
}

Outcome rename_command(Session& session, std::string_view from, std::string_view to) {
  std::string rnfr, rnto;
  const Charset& charset = session.settings().charset;
  Outcome o = command_text(charset, COMMAND_RNFR, from, &rnfr);
  if (o.ok()) o = command_text(charset, COMMAND_RNTO, to, &rnto);
  if (!o.ok()) return o;
  // "RNFR " has no reply; "RNTO " renames and answers.
  o = session.send_command(rnfr);
  if (!o.ok()) return o;
  return send_expecting_ok(session, rnto);
}

bool starts_with(std::string_view text, std::string_view word) {
  return text.substr(0, word.size()) == word;
}

/// Command words after which the server sends nothing back.
bool silent_command(std::string_view text) {
  for (std::string_view word :
       {COMMAND_PUT, COMMAND_APUT, COMMAND_TIME, COMMAND_ATTR, COMMAND_RNFR, COMMAND_SIZE}) {
    if (starts_with(text, word)) return true;
  }
  return starts_with(text, COMMAND_REST) && !starts_with(text, COMMAND_REST_QUERY);
}

Outcome raw_command(Session& session, const std::string& text, Output& output) {
  if (longer_on_wire(session.settings().charset, text)) {
    return Outcome::Fail(Exit::kUsage, "a command text holds at most 255 bytes");
  }
  Outcome o = session.send_command(text);
  if (!o.ok()) return o;
  if (silent_command(text)) {
    output.message("sent; the server answers this command with nothing");
    return Outcome::Ok();
  }
  const bool listing = starts_with(text, COMMAND_LIST);
  const bool data_follows =
      listing || starts_with(text, COMMAND_GET) || starts_with(text, COMMAND_AGET);
  int32_t rest = 0;
  const auto since = std::chrono::steady_clock::now();
  for (;;) {
    std::string reply;
    o = session.receive_reply(&reply);
    if (!o.ok()) return o;
    output.line(reply);
    int32_t n;
    if (reply == ANSWER_WAIT) {
      o = session.check_wait_limit(since);
      if (!o.ok()) return o;
      continue;
    }
    if (data_follows && !listing && reply_number(reply, ANSWER_REST, &n)) {
      rest = n;
      continue;
    }
    if (data_follows &&
        (reply_number(reply, ANSWER_TIME, &n) || reply_number(reply, ANSWER_ATTR, &n))) {
      continue;
    }
    if (data_follows && reply_number(reply, ANSWER_SIZE, &n)) {
      // The data follows in frames 1, 2, ...: printed as it comes.
      int64_t remaining = static_cast<int64_t>(n) - (listing ? 0 : rest);
      FrameBuffer frame;
      // A CR at the end of a frame waits for the next one, which may begin
      // with the LF of its pair.
      std::string piece;
      for (int32_t number = 1; remaining > 0; ++number) {
        o = session.receive_data(number, frame, listing ? "the listing" : "the file");
        if (!o.ok()) break;
        piece.append(reinterpret_cast<const char*>(frame.data), static_cast<size_t>(frame.length));
        const bool held_cr = !piece.empty() && piece.back() == '\r';
        if (held_cr) piece.pop_back();
        output.out(visible_lines(piece));
        piece = held_cr ? "\r" : "";
        remaining -= frame.length;
      }
      output.out(visible_lines(piece));
      return o;
    }
    return error_reply(reply, listing);
  }
}

}  // namespace

Outcome simple_command(Session& session, std::string_view word, std::string_view path) {
  std::string text;
  Outcome o = command_text(session.settings().charset, word, path, &text);
  if (!o.ok()) return o;
  return send_expecting_ok(session, text);
}

Outcome command_text(const Charset& charset, std::string_view word, std::string_view path,
                     std::string* text) {
  *text = std::string(word) + std::string(path);
  if (longer_on_wire(charset, *text)) {
    return Outcome::Fail(Exit::kUsage, "the server path is too long: \"" + std::string(word) +
                                           "\" and the path may hold at most 255 bytes");
  }
  return Outcome::Ok();
}

std::string remote_basename(std::string_view remote) {
  const size_t cut = remote.find_last_of("\\/");
  return std::string(cut == std::string_view::npos ? remote : remote.substr(cut + 1));
}

std::string remote_join(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  if (dir.back() == '\\' || dir.back() == '/') return std::string(dir) + std::string(name);
  const bool slashes =
      dir.find('\\') == std::string_view::npos && dir.find('/') != std::string_view::npos;
  return std::string(dir) + (slashes ? "/" : "\\") + std::string(name);
}

Outcome run_command(Session& session, const Options& options, Output& output) {
  const CommandSpec* command = find_command(options.command);
  if (!command) return Outcome::Fail(Exit::kUsage, "unknown command \"" + options.command + "\"");
  if (command->check) {
    const Outcome o = command->check(options);
    if (!o.ok()) return o;
  }
  std::string hello;
  Outcome o = session.connect(&hello);
  if (!o.ok()) return o;
  return command->run(CommandCall{session, options, output, hello});
}

namespace {

/// The command text of "raw": its words joined by blanks.
std::string raw_text(const Options& options) {
  std::string joined;
  for (const std::string& a : options.args) joined += (joined.empty() ? "" : " ") + a;
  return joined;
}

Outcome check_raw(const Options& options) {
  if (longer_on_wire(options.charset, raw_text(options))) {
    return Outcome::Fail(Exit::kUsage, "a command text holds at most 255 bytes");
  }
  return Outcome::Ok();
}

Outcome run_raw(const CommandCall& call) {
  const std::string text = raw_text(call.options);
  // Connecting sent "CONNECT" already; its answer is the reply. As printed
  // so far: up to a NUL.
  if (text == COMMAND_CONNECT) {
    call.output.line(call.hello.c_str());
    return Outcome::Ok();
  }
  return raw_command(call.session, text, call.output);
}

Outcome run_connect(const CommandCall& call) {
  call.output.line("Connected: the server answered \"" + std::string(call.hello.c_str()) + "\".");
  return Outcome::Ok();
}

Outcome run_list(const CommandCall& call) {
  return list_command(call.session, call.options, call.output);
}

Outcome run_copy(const CommandCall& call) {
  return copy_command(call.session, call.options, call.output);
}

/// A management command on one server path, and the line that tells it done.
Outcome one_path(const CommandCall& call, std::string_view word, std::string_view done) {
  const std::string& path = call.options.args[0];
  const Outcome o = simple_command(call.session, word, path);
  if (o.ok()) call.output.line(std::string(done) + " " + path);
  return o;
}

Outcome run_rm(const CommandCall& call) { return one_path(call, COMMAND_DEL, "Deleted"); }
Outcome run_mkdir(const CommandCall& call) { return one_path(call, COMMAND_MD, "Created"); }
Outcome run_rmdir(const CommandCall& call) { return one_path(call, COMMAND_RD, "Removed"); }

Outcome run_mv(const CommandCall& call) {
  const std::vector<std::string>& args = call.options.args;
  const Outcome o = rename_command(call.session, args[0], args[1]);
  if (o.ok()) call.output.line("Renamed " + args[0] + " to " + args[1]);
  return o;
}

constexpr CommandSpec kCommands[] = {
    {"connect", 0, 0, false, false, nullptr, run_connect,
     "  connect                  ask the server whether it is there\n"},
    {"ls", 0, 1, false, true, nullptr, run_list,
     "  ls [REMOTE]              list a directory (\"\\dir\\\"), a pattern (\"\\dir\\*.txt\")\n"
     "                           or one entry (\"\\dir\\file\"); default: the root\n"},
    {"get", 1, SIZE_MAX, true, false, nullptr, run_copy,
     "  get REMOTE [LOCAL]       fetch a file (LOCAL: a file or a directory)\n"
     "  get REMOTE... LOCALDIR   fetch several files into a directory\n"},
    {"put", 1, SIZE_MAX, true, false, nullptr, run_copy,
     "  put LOCAL [REMOTE]       store a file (REMOTE ending in \"\\\" or \"/\": a directory)\n"
     "  put LOCAL... REMOTEDIR   store several files in a directory of the server\n"},
    {"rm", 1, 1, false, false, nullptr, run_rm, "  rm REMOTE                delete a file\n"},
    {"mkdir", 1, 1, false, false, nullptr, run_mkdir,
     "  mkdir REMOTE             create a directory\n"},
    {"rmdir", 1, 1, false, false, nullptr, run_rmdir,
     "  rmdir REMOTE             remove an empty directory\n"},
    {"mv", 2, 2, false, false, nullptr, run_mv,
     "  mv OLD NEW               rename a file or directory\n"},
    {"raw", 1, SIZE_MAX, false, false, check_raw, run_raw,
     "  raw TEXT...              send one command text (the words joined by blanks)\n"
     "                           and print every reply\n"},
};

}  // namespace

std::span<const CommandSpec> command_table() { return kCommands; }

const CommandSpec* find_command(std::string_view name) {
  for (const CommandSpec& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace tarnel::client
