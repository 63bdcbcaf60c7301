#ifndef TARNEL_COMMANDS_CLIENT_PATH_H_
#define TARNEL_COMMANDS_CLIENT_PATH_H_

#include <string>
#include <string_view>

namespace tarnel {

/// The client's path ("\dir\f", "dir\f") as a local absolute path
/// ("/dir/f"): backslashes become slashes and a leading "/" is added when
/// missing; the result is cut at 255 bytes. Nothing else is examined.
std::string map_client_path(std::string_view path);

}  // namespace tarnel

#endif  // TARNEL_COMMANDS_CLIENT_PATH_H_
