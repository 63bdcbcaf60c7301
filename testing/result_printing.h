// Readable test failures for the result codes: the name and the number
// ("SEND_REFUSED (1)") in place of the bytes of the value. Include this in
// every test that compares such results, so that all of them print alike.
#ifndef TARNEL_TESTING_RESULT_PRINTING_H_
#define TARNEL_TESTING_RESULT_PRINTING_H_

#include <ostream>

#include "files/upload.h"
#include "link/frame.h"
#include "link/text.h"

namespace tarnel {

/// A result not yet given, for a test that waits for one from another thread.
constexpr SendResult kNoSendResult = static_cast<SendResult>(-1);
constexpr RecvResult kNoRecvResult = static_cast<RecvResult>(-1);

inline const char* result_name(SendResult r) {
  switch (r) {
    case SendResult::SEND_OK:
      return "SEND_OK";
    case SendResult::SEND_REFUSED:
      return "SEND_REFUSED";
    case SendResult::SEND_TIMEOUT:
      return "SEND_TIMEOUT";
    case SendResult::SEND_ABORTED:
      return "SEND_ABORTED";
  }
  return "unknown";
}

inline const char* result_name(RecvResult r) {
  switch (r) {
    case RecvResult::RECV_OK:
      return "RECV_OK";
    case RecvResult::RECV_REFUSED:
      return "RECV_REFUSED";
    case RecvResult::RECV_FAILED:
      return "RECV_FAILED";
  }
  return "unknown";
}

inline const char* result_name(CommandResult r) {
  switch (r) {
    case CommandResult::COMMAND_OK:
      return "COMMAND_OK";
    case CommandResult::COMMAND_BUSY:
      return "COMMAND_BUSY";
    case CommandResult::COMMAND_FAILED:
      return "COMMAND_FAILED";
  }
  return "unknown";
}

inline const char* result_name(ReceiveResult r) {
  switch (r) {
    case ReceiveResult::RECEIVE_STORED:
      return "RECEIVE_STORED";
    case ReceiveResult::RECEIVE_CREATE_FAILED:
      return "RECEIVE_CREATE_FAILED";
    case ReceiveResult::RECEIVE_WRITE_FAILED:
      return "RECEIVE_WRITE_FAILED";
    case ReceiveResult::RECEIVE_REFUSED:
      return "RECEIVE_REFUSED";
    case ReceiveResult::RECEIVE_NOT_STORED:
      return "RECEIVE_NOT_STORED";
    case ReceiveResult::RECEIVE_FAILED:
      return "RECEIVE_FAILED";
    case ReceiveResult::RECEIVE_BUSY:
      return "RECEIVE_BUSY";
  }
  return "unknown";
}

// Found by gtest through the argument's namespace.
template <typename Result>
void print_result(Result r, std::ostream* os) {
  *os << result_name(r) << " (" << static_cast<int>(r) << ")";
}
inline void PrintTo(SendResult r, std::ostream* os) { print_result(r, os); }
inline void PrintTo(RecvResult r, std::ostream* os) { print_result(r, os); }
inline void PrintTo(CommandResult r, std::ostream* os) { print_result(r, os); }
inline void PrintTo(ReceiveResult r, std::ostream* os) { print_result(r, os); }

}  // namespace tarnel

#endif  // TARNEL_TESTING_RESULT_PRINTING_H_
