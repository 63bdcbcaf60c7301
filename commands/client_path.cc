#include "commands/client_path.h"

namespace tarnel {

std::string map_client_path(std::string_view path) { return client_path_text(path); }

std::string local_client_path(const ClientNames& names, FileSystem& fs, std::string_view path,
                              NameUse use, StandInCache& cache) {
  return names.local_path(fs, path, use, cache);
}

}  // namespace tarnel
