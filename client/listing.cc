// "ls": the server's listing as a table or as sent.
#include <string>

#include "base/wire_words.h"
#include "client/commands.h"
#include "client/protocol.h"

namespace tarnel::client {
namespace {

/// After a block that went past the announced total (the directory changed
/// between the server's two passes) further blocks may follow at once.
constexpr unsigned kMoreBlocksMs = 500;

std::string printable(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return out;
}

/// One row of the table: attributes, size, time and name in their columns.
std::string table_row(std::string_view attributes, std::string_view size, std::string_view modified,
                      std::string_view name) {
  auto left = [](std::string_view text, size_t width) {
    std::string s(text);
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
  };
  auto right = [](std::string_view text, size_t width) {
    std::string s(text);
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
  };
  return left(attributes, 6) + " " + right(size, 12) + "  " + left(modified, 19) + "  " +
         std::string(name);
}

}  // namespace

Outcome fetch_listing(Session& session, Output& output, std::string_view path, std::string* data,
                      unsigned reply_timeout_ms) {
  std::string text;
  Outcome o = command_text(COMMAND_LIST, path, &text);
  if (!o.ok()) return o;
  o = session.send_command(text);
  if (!o.ok()) return o;
  std::string reply;
  o = session.next_reply(&reply, reply_timeout_ms);
  if (!o.ok()) return o;
  o = error_reply(reply, true);
  if (!o.ok()) return o;
  int32_t total;
  if (!reply_number(reply, ANSWER_SIZE, &total) || total < 0) {
    return Outcome::Fail(Exit::kUnexpectedReply, "unexpected reply \"" + reply + "\" to " + text);
  }
  data->clear();
  FrameBuffer frame;
  int32_t number = 1;
  while (static_cast<int64_t>(data->size()) < total) {
    o = session.receive_data(number++, frame, "the listing");
    if (!o.ok()) {
      if (!data->empty()) {
        o.message +=
            " after " + std::to_string(data->size()) + " of " + std::to_string(total) + " bytes";
      }
      return o;
    }
    data->append(reinterpret_cast<const char*>(frame.data), static_cast<size_t>(frame.length));
  }
  if (static_cast<int64_t>(data->size()) > total) {
    while (session.frame_begins(kMoreBlocksMs)) {
      o = session.receive_data(number++, frame, "the listing");
      if (!o.ok()) return o;
      data->append(reinterpret_cast<const char*>(frame.data), static_cast<size_t>(frame.length));
    }
    output.message("the listing holds " + std::to_string(data->size()) + " bytes, " +
                   std::to_string(total) + " were announced (the directory changed meanwhile)");
  }
  // The names come in the server's code page (the rest of a line is ASCII).
  std::string utf8;
  if (!session.settings().charset.to_utf8(*data, &utf8)) {
    return Outcome::Fail(Exit::kUnexpectedReply,
                         "the listing of " + std::string(path) + " holds a name with a byte that " +
                             session.settings().charset.name() + " leaves undefined");
  }
  *data = std::move(utf8);
  return Outcome::Ok();
}

Outcome list_command(Session& session, const Options& options, Output& output) {
  const std::string path = options.args.empty() ? "\\" : options.args[0];
  std::string data;
  Outcome o = fetch_listing(session, output, path, &data);
  if (!o.ok()) return o;
  if (options.raw) {
    output.out(data);
    return Outcome::Ok();
  }
  const std::vector<ListingLine> lines = parse_listing(data);
  output.line(table_row("Attr", "Size", "Modified", "Name"));
  int64_t files = 0, directories = 0, bytes = 0;
  for (const ListingLine& line : lines) {
    if (!line.parsed) {
      output.line(table_row("??????", "?", "?", printable(line.raw)));
      continue;
    }
    const ListingEntry& e = line.entry;
    output.line(table_row(attribute_flags(e.attributes), std::to_string(e.size),
                          format_stamp(e.stamp), printable(e.name)));
    if (e.attributes & 16) {
      ++directories;
    } else {
      ++files;
      bytes += e.size;
    }
  }
  output.line(std::to_string(files) + " files (" + std::to_string(bytes) + " bytes), " +
              std::to_string(directories) + " directories");
  return Outcome::Ok();
}

}  // namespace tarnel::client
