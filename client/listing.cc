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

/// How far a listing may run past its announced total: the server counts
/// in a first pass and sends what a second pass finds, so entries made
/// meanwhile come on top; a quarter more and 64 KiB (some 1600 lines of 40
/// bytes) leave room for a busy folder. A listing that runs further is a
/// server that does not stop, and what it sends is not kept.
int64_t listing_bound(int64_t total) { return total + total / 4 + 65536; }

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
  Outcome o = command_text(session.settings().charset, COMMAND_LIST, path, &text);
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
  const int64_t bound = listing_bound(total);
  FrameBuffer frame;
  int32_t number = 1;
  // The announced bytes; past them, the blocks that follow at once.
  auto more = [&] {
    const int64_t size = static_cast<int64_t>(data->size());
    return size < total || (size > total && session.frame_begins(kMoreBlocksMs));
  };
  while (more()) {
    o = session.receive_data(number++, frame, "the listing");
    if (!o.ok()) {
      if (!data->empty() && o.exit != Exit::kInterrupted) {
        o.message +=
            " after " + std::to_string(data->size()) + " of " + std::to_string(total) + " bytes";
      }
      data->clear();
      return o;
    }
    if (static_cast<int64_t>(data->size()) + frame.length > bound) {
      data->clear();
      session.refuse_next_frame(kMoreBlocksMs);
      return Outcome::Fail(Exit::kUnexpectedReply,
                           "the listing runs past " + std::to_string(bound) + " bytes where " +
                               std::to_string(total) + " were announced; nothing of it is kept");
    }
    data->append(reinterpret_cast<const char*>(frame.data), static_cast<size_t>(frame.length));
  }
  // The wait for more blocks ends at an interrupt as well: what came is not
  // known to be all.
  if (interrupted()) {
    data->clear();
    return Outcome::Fail(Exit::kInterrupted, "interrupted");
  }
  if (static_cast<int64_t>(data->size()) > total) {
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
    output.out(visible_lines(data));
    return Outcome::Ok();
  }
  const std::vector<ListingLine> lines = parse_listing(data);
  output.line(table_row("Attr", "Size", "Modified", "Name"));
  int64_t files = 0, directories = 0, bytes = 0;
  for (const ListingLine& line : lines) {
    if (!line.parsed) {
      output.line(table_row("??????", "?", "?", line.raw));
      continue;
    }
    const ListingEntry& e = line.entry;
    output.line(table_row(attribute_flags(e.attributes), std::to_string(e.size),
                          format_stamp(e.stamp), e.name));
    if (e.attributes & ATTRIBUTE_DIRECTORY) {
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
