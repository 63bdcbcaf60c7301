#include "client/commands.h"

#include "client/protocol.h"
#include "link/text.h"

namespace tarnel::client {
namespace {

/// Sends `text` and takes its reply: "OK", or an error reply.
Outcome send_expecting_ok(Session& session, const std::string& text) {
  Outcome o = session.send_command(text);
  if (!o.ok()) return o;
  std::string reply;
  o = session.next_reply(&reply);
  if (!o.ok()) return o;
  if (reply == "OK") return Outcome::Ok();
  o = error_reply(reply, false);
  if (!o.ok()) return o;
  return Outcome::Fail(Exit::kUnexpectedReply, "unexpected reply \"" + reply + "\" to " + text);
}

Outcome rename_command(Session& session, std::string_view from, std::string_view to) {
  std::string rnfr, rnto;
  Outcome o = command_text("RNFR ", from, &rnfr);
  if (o.ok()) o = command_text("RNTO ", to, &rnto);
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
  for (std::string_view word : {"PUT ", "APUT ", "TIME ", "ATTR ", "RNFR ", "SIZE "}) {
    if (starts_with(text, word)) return true;
  }
  return starts_with(text, "REST ") && !starts_with(text, "REST ?");
}

Outcome raw_command(Session& session, const std::string& text, Output& output) {
  if (text.size() > TEXT_MAX) {
    return Outcome::Fail(Exit::kUsage, "a command text holds at most 255 bytes");
  }
  Outcome o = session.send_command(text);
  if (!o.ok()) return o;
  if (silent_command(text)) {
    output.message("sent; the server answers this command with nothing");
    return Outcome::Ok();
  }
  const bool listing = starts_with(text, "LIST ");
  const bool data_follows = listing || starts_with(text, "GET ") || starts_with(text, "AGET ");
  int32_t rest = 0;
  for (;;) {
    std::string reply;
    o = session.receive_reply(&reply);
    if (!o.ok()) return o;
    output.line(reply);
    int32_t n;
    if (reply == "WAIT") continue;
    if (data_follows && !listing && reply_number(reply, "REST ", &n)) {
      rest = n;
      continue;
    }
    if (data_follows && (reply_number(reply, "TIME ", &n) || reply_number(reply, "ATTR ", &n))) {
      continue;
    }
    if (data_follows && reply_number(reply, "SIZE ", &n)) {
      // The data follows in frames 1, 2, ...: printed as it comes.
      int64_t remaining = static_cast<int64_t>(n) - (listing ? 0 : rest);
      FrameBuffer frame;
      for (int32_t number = 1; remaining > 0; ++number) {
        o = session.receive_data(number, frame, listing ? "the listing" : "the file");
        if (!o.ok()) return o;
        output.out(std::string_view(reinterpret_cast<const char*>(frame.data),
                                    static_cast<size_t>(frame.length)));
        remaining -= frame.length;
      }
      return Outcome::Ok();
    }
    return error_reply(reply, listing);
  }
}

}  // namespace

Outcome simple_command(Session& session, std::string_view word, std::string_view path) {
  std::string text;
  Outcome o = command_text(word, path, &text);
  if (!o.ok()) return o;
  return send_expecting_ok(session, text);
}

Outcome command_text(std::string_view word, std::string_view path, std::string* text) {
  if (word.size() + path.size() > TEXT_MAX) {
    return Outcome::Fail(Exit::kUsage, "the server path is too long: \"" + std::string(word) +
                                           "\" and the path may hold at most 255 bytes");
  }
  *text = std::string(word) + std::string(path);
  return Outcome::Ok();
}

std::string remote_basename(std::string_view remote) {
  const size_t cut = remote.find_last_of("\\/");
  return std::string(cut == std::string_view::npos ? remote : remote.substr(cut + 1));
}

std::string remote_join(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  if (dir.back() == '\\' || dir.back() == '/') return std::string(dir) + std::string(name);
  const bool slashes = dir.find('\\') == std::string_view::npos && dir.find('/') != std::string_view::npos;
  return std::string(dir) + (slashes ? "/" : "\\") + std::string(name);
}

Outcome run_command(Session& session, const Options& options, Output& output) {
  const std::string& command = options.command;
  std::string joined;
  for (const std::string& a : options.args) joined += (joined.empty() ? "" : " ") + a;
  if (command == "raw" && joined.size() > TEXT_MAX) {
    return Outcome::Fail(Exit::kUsage, "a command text holds at most 255 bytes");
  }

  std::string hello;
  Outcome o = session.connect(&hello);
  if (!o.ok()) return o;
  if (command == "connect" || (command == "raw" && joined == "CONNECT")) {
    // connect() sent "CONNECT" already; its answer is the reply.
    if (command == "raw") {
      output.line(hello.c_str());  // as printed so far: up to a NUL
    } else {
      output.line("Connected: the server answered \"" + std::string(hello.c_str()) + "\".");
    }
    return Outcome::Ok();
  }
  if (command == "ls") return list_command(session, options, output);
  if (command == "get" || command == "put") return copy_command(session, options, output);
  if (command == "rm") {
    o = simple_command(session, "DEL ", options.args[0]);
    if (o.ok()) output.line("Deleted " + options.args[0]);
    return o;
  }
  if (command == "mkdir") {
    o = simple_command(session, "MD ", options.args[0]);
    if (o.ok()) output.line("Created " + options.args[0]);
    return o;
  }
  if (command == "rmdir") {
    o = simple_command(session, "RD ", options.args[0]);
    if (o.ok()) output.line("Removed " + options.args[0]);
    return o;
  }
  if (command == "mv") {
    o = rename_command(session, options.args[0], options.args[1]);
    if (o.ok()) output.line("Renamed " + options.args[0] + " to " + options.args[1]);
    return o;
  }
  if (command == "raw") return raw_command(session, joined, output);
  return Outcome::Fail(Exit::kUsage, "unknown command \"" + command + "\"");
}

}  // namespace tarnel::client
