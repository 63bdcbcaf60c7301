#include "commands/command_loop.h"

#include <cstdint>
#include <string>

#include "base/numbers.h"
#include "base/wire_words.h"
#include "commands/client_path.h"
#include "files/download.h"
#include "files/listing.h"
#include "files/management.h"
#include "files/resume.h"
#include "files/stand_in_cache.h"
#include "files/upload.h"
#include "link/text.h"

namespace tarnel {

namespace {

/// Sleep between polls while the client is silent.
constexpr uint16_t kIdlePollMs = 50;

/// receive_command's result as the loop keeps it: 1 for a command received,
/// -1 for anything else (a failed frame; the loop never calls it busy).
int8_t received_result(CommandResult result) {
  return result == CommandResult::COMMAND_OK ? 1 : -1;
}

/// What the loop keeps between commands.
struct CommandState {
  PendingUpload upload;  // its resume offset serves "GET " and "AGET " too
  /// The file and counting the last "REST ?" measured when it set the
  /// offsets; empty when no offset comes from it. The resume offset is its
  /// own unless "REST " replaced it.
  std::string resume_query_name;
  bool resume_query_text = false;
  bool resume_offset_from_query = false;
  std::string rename_source;  // empty: none
  /// 1 success, -1 failure; every received command first sets it from
  /// receive_command (received_result).
  int8_t last_result = 0;
};

class CommandLoop {
 public:
  CommandLoop(Lines& lines, Console& console, FileSystem& fs, const ClientNames& names)
      : lines_(lines), console_(console), fs_(fs), names_(names), stand_ins_(names) {}

  void run();

 private:
  using Handler = void (CommandLoop::*)(const std::string& argument);
  struct Command {
    std::string_view word;  // the trailing blank is part of the word
    Handler handler;
  };
  static const Command kCommands[];

  void dispatch(const std::string& text);

  void put(const std::string& argument) { prepare_upload(argument, false); }
  void aput(const std::string& argument) { prepare_upload(argument, true); }
  void time(const std::string& argument) { state_.upload.time_stamp = text_to_number(argument); }
  void attr(const std::string& argument) { state_.upload.attributes = text_to_number(argument); }
  void resume(const std::string& argument);
  void rest(const std::string& argument);
  void size(const std::string& argument);
  void get(const std::string& argument) { download(argument, false); }
  void aget(const std::string& argument) { download(argument, true); }
  void list(const std::string& argument);
  void del(const std::string& argument);
  void connect(const std::string& argument);
  void md(const std::string& argument);
  void rd(const std::string& argument);
  void rnfr(const std::string& argument) {
    state_.rename_source = local(argument, NameUse::kExisting);
  }
  void rnto(const std::string& argument);

  /// The local path of a client path: every path of a command but the
  /// listing's comes through here.
  std::string local(const std::string& argument, NameUse use) {
    return local_client_path(names_, fs_, argument, use, stand_ins_);
  }
  void prepare_upload(const std::string& argument, bool text);
  void download(const std::string& argument, bool text);
  void forget_resume_query() {
    state_.resume_query_name.clear();
    state_.resume_offset_from_query = false;
  }
  void set_result(bool ok) { state_.last_result = ok ? 1 : -1; }
  void result_line(bool ok, const char* success, const char* failure) {
    console_.line(ok ? success : failure);
  }

  Lines& lines_;
  Console& console_;
  FileSystem& fs_;
  const ClientNames& names_;
  /// Which entries the stand-ins of the directories named so far stand
  /// for, checked against the directory at every use: kept for the whole
  /// run, so that a directory of such names is not read whole for each of
  /// its entries.
  StandInCache stand_ins_;
  CommandState state_;
};

// Tried in this order; the first word that begins the text wins, so "REST ?"
// (the resume query) must come before "REST ".
const CommandLoop::Command CommandLoop::kCommands[] = {
    {COMMAND_PUT, &CommandLoop::put},
    {COMMAND_APUT, &CommandLoop::aput},
    {COMMAND_TIME, &CommandLoop::time},
    {COMMAND_ATTR, &CommandLoop::attr},
    {COMMAND_REST_QUERY, &CommandLoop::resume},
    {COMMAND_REST, &CommandLoop::rest},
    {COMMAND_SIZE, &CommandLoop::size},
    {COMMAND_GET, &CommandLoop::get},
    {COMMAND_AGET, &CommandLoop::aget},
    {COMMAND_LIST, &CommandLoop::list},
    {COMMAND_DEL, &CommandLoop::del},
    {COMMAND_CONNECT, &CommandLoop::connect},
    {COMMAND_MD, &CommandLoop::md},
    {COMMAND_RD, &CommandLoop::rd},
    {COMMAND_RNFR, &CommandLoop::rnfr},
    {COMMAND_RNTO, &CommandLoop::rnto},
};

void CommandLoop::run() {
  lines_.init_control_lines();
  lines_.clear_data_lines();
  abort_flag = false;
  std::string text;
  bool just_served = false;
  while (!abort_flag) {
    text.clear();
    // Right after a command the next one usually follows at once: watch
    // for it closely before going back to the idle poll.
    Watch watch = just_served ? watch_for_client(lines_, console_) : Watch::kQuiet;
    if (watch == Watch::kQuiet) {
      watch = wait_for_client(lines_, console_) ? Watch::kCalling : Watch::kKey;
    }
    just_served = watch == Watch::kCalling;
    if (just_served) {
      state_.last_result = received_result(receive_command(lines_, text));
      if (!text.empty()) console_echo(console_, text, names_.charset());
      dispatch(text);
      text.clear();
    }
    if (state_.last_result == -1) lines_.clear_data_lines();
  }
}

void CommandLoop::dispatch(const std::string& text) {
  for (const Command& command : kCommands) {
    if (text.size() >= command.word.size() &&
        text.compare(0, command.word.size(), command.word) == 0) {
      (this->*command.handler)(text.substr(command.word.size()));
      return;
    }
  }
  // Nothing matched (an empty text from a failed frame too): the client's
  // wait for a reply fails on the signal.
  lines_.signal_bad_command();
  lines_.clear_data_lines();
}

void CommandLoop::prepare_upload(const std::string& argument, bool text) {
  PendingUpload& upload = state_.upload;
  upload.name = local(argument, NameUse::kNew);
  // Offsets that "REST ?" measured belong to the file (and the counting) it
  // measured; an offset "REST " named before "PUT " carries into the upload.
  if (!state_.resume_query_name.empty() &&
      (upload.name != state_.resume_query_name || text != state_.resume_query_text)) {
    upload.reported_resume_offset = 0;
    if (state_.resume_offset_from_query) upload.resume_offset = 0;
    forget_resume_query();
  }
  upload.time_stamp = -1;
  upload.attributes = -1;
  upload.text = text;
}

void CommandLoop::resume(const std::string&) {
  // A failed query leaves the offsets, and whose they are, as they were.
  if (resume_query(lines_, fs_, state_.upload)) {
    state_.resume_query_name = state_.upload.name;
    state_.resume_query_text = state_.upload.text;
    state_.resume_offset_from_query = true;
  }
}

void CommandLoop::rest(const std::string& argument) {
  // Bad text reads as -1; no negative offset names a place in a file, so
  // every one of them means "from the start".
  const int32_t offset = text_to_number(argument);
  state_.upload.resume_offset = offset < 0 ? 0 : offset;
  state_.resume_offset_from_query = false;
}

void CommandLoop::size(const std::string& argument) {
  const ReceiveResult result =
      receive_file(lines_, console_, fs_, state_.upload, text_to_number(argument));
  const bool stored = result == ReceiveResult::RECEIVE_STORED;
  result_line(stored, "UPLOAD OK", "UPLOAD FAILED");
  set_result(stored);
  // Whatever the outcome, the upload is over.
  abort_flag = false;
  state_.upload = PendingUpload{};
  forget_resume_query();
}

void CommandLoop::download(const std::string& argument, bool text) {
  const bool ok = send_file(lines_, console_, fs_, local(argument, NameUse::kExisting),
                            state_.upload.resume_offset, text);
  result_line(ok, "DOWNLOAD OK", "DOWNLOAD FAILED");
  set_result(ok);
  abort_flag = false;
  state_.upload.resume_offset = 0;
  state_.upload.reported_resume_offset = 0;
  forget_resume_query();
}

void CommandLoop::list(const std::string& argument) {
  state_.upload.text = false;
  const bool ok =
      list_directory(lines_, console_, fs_, argument, monotonic_seconds, names_, &stand_ins_);
  result_line(ok, "LIST OK", "LIST FAILED");
  set_result(ok);
  abort_flag = false;
}

void CommandLoop::del(const std::string& argument) {
  set_result(delete_file(lines_, fs_, local(argument, NameUse::kExisting)));
}

void CommandLoop::connect(const std::string&) {
  const bool ok = send_connect_reply(lines_);
  if (ok) console_.line("Connection established!");
  set_result(ok);
}

void CommandLoop::md(const std::string& argument) {
  set_result(make_directory(lines_, fs_, local(argument, NameUse::kNew)));
}

void CommandLoop::rd(const std::string& argument) {
  set_result(remove_directory(lines_, fs_, local(argument, NameUse::kExisting)));
}

void CommandLoop::rnto(const std::string& argument) {
  state_.last_result = -1;
  // Without a source there is nothing to rename and no reply at all.
  if (state_.rename_source.empty()) return;
  // The source stays: a second "RNTO " tries the same source again.
  if (rename_file(lines_, fs_, state_.rename_source, local(argument, NameUse::kNew))) {
    state_.last_result = 1;
  }
}

}  // namespace

Watch watch_for_client(Lines& lines, Console& console) {
  for (unsigned polls = 0;; ++polls) {
    const bool calling = !handshake_bit(lines.read_status());
    // A pending key wins even over a calling client.
    abort_flag = console.key_pending();
    if (abort_flag) return Watch::kKey;
    if (calling) return Watch::kCalling;
    if (polls == WATCH_POLLS) return Watch::kQuiet;
    lines.delay_ms(WATCH_SLEEP_MS);
  }
}

bool wait_for_client(Lines& lines, Console& console) {
  for (;;) {
    const bool calling = !handshake_bit(lines.read_status());
    if (!calling) lines.delay_ms(kIdlePollMs);
    // A pending key wins even over a calling client.
    abort_flag = console.key_pending();
    if (abort_flag) return false;
    if (calling) return true;
  }
}

void console_echo(Console& console, std::string_view text, const Charset& charset) {
  const std::string_view sent = text.substr(0, TEXT_MAX);
  std::string utf8;
  console.line(visible_text(charset.to_utf8(sent, &utf8) ? std::string_view(utf8) : sent));
}

bool send_connect_reply(Lines& lines) { return send_text(lines, ANSWER_CONNECTED); }

void command_loop(Lines& lines, Console& console, FileSystem& fs, const ClientNames& names) {
  CommandLoop(lines, console, fs, names).run();
}

}  // namespace tarnel
