#ifndef TARNEL_COMMANDS_CLIENT_PATH_H_
#define TARNEL_COMMANDS_CLIENT_PATH_H_

#include <string>
#include <string_view>

#include "files/file_system.h"
#include "files/names.h"
#include "files/stand_in_cache.h"

namespace tarnel {

/// The client's path ("\dir\f", "dir\f") as a local absolute path
/// ("/dir/f"): backslashes become slashes and a leading "/" is added when
/// missing; the result is cut at 255 bytes. Nothing else is examined.
std::string map_client_path(std::string_view path);

/// The client's path as the local path the file services use: mapped as
/// above, then each name converted from the client's code page and a
/// stand-in replaced by the entry it stands for (files/names.h), found
/// through `cache` (made for `names`); an unusable name gives a path that
/// names no file.
std::string local_client_path(const ClientNames& names, FileSystem& fs, std::string_view path,
                              NameUse use, StandInCache& cache);

}  // namespace tarnel

#endif  // TARNEL_COMMANDS_CLIENT_PATH_H_
