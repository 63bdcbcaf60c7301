// "ls": the server's listing as a table or as sent.
#include <cstdio>

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

}  // namespace

Outcome fetch_listing(Session& session, std::string_view path, std::string* data,
                      unsigned reply_timeout_ms) {
  std::string text;
  Outcome o = command_text("LIST ", path, &text);
  if (!o.ok()) return o;
  o = session.send_command(text);
  if (!o.ok()) return o;
  std::string reply;
  o = session.next_reply(&reply, reply_timeout_ms);
  if (!o.ok()) return o;
  o = error_reply(reply, true);
  if (!o.ok()) return o;
  int32_t total;
  if (!reply_number(reply, "SIZE ", &total) || total < 0) {
    return Outcome::Fail(Exit::kUnexpectedReply, "unexpected reply \"" + reply + "\" to " + text);
  }
  data->clear();
  FrameBuffer frame;
  int32_t number = 1;
  while (static_cast<int64_t>(data->size()) < total) {
    o = session.receive_data(number++, frame, "the listing");
    if (!o.ok()) {
      if (!data->empty()) {
        o.message += " after " + std::to_string(data->size()) + " of " + std::to_string(total) +
                     " bytes";
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
    std::fprintf(stderr,
                 "tarnel-client: the listing holds %zu bytes, %d were announced (the directory "
                 "changed meanwhile)\n",
                 data->size(), total);
  }
  return Outcome::Ok();
}

Outcome list_command(Session& session, const Options& options) {
  const std::string path = options.args.empty() ? "\\" : options.args[0];
  std::string data;
  Outcome o = fetch_listing(session, path, &data);
  if (!o.ok()) return o;
  if (options.raw) {
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fflush(stdout);
    return Outcome::Ok();
  }
  const std::vector<ListingLine> lines = parse_listing(data);
  std::printf("%-6s %12s  %-19s  %s\n", "Attr", "Size", "Modified", "Name");
  int64_t files = 0, directories = 0, bytes = 0;
  for (const ListingLine& line : lines) {
    if (!line.parsed) {
      std::printf("%-6s %12s  %-19s  %s\n", "??????", "?", "?", printable(line.raw).c_str());
      continue;
    }
    const ListingEntry& e = line.entry;
    std::printf("%-6s %12d  %-19s  %s\n", attribute_flags(e.attributes).c_str(), e.size,
                format_stamp(e.stamp).c_str(), printable(e.name).c_str());
    if (e.attributes & 16) {
      ++directories;
    } else {
      ++files;
      bytes += e.size;
    }
  }
  std::printf("%lld files (%lld bytes), %lld directories\n", static_cast<long long>(files),
              static_cast<long long>(bytes), static_cast<long long>(directories));
  std::fflush(stdout);
  return Outcome::Ok();
}

}  // namespace tarnel::client
