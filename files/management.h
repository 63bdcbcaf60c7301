// "MD ", "RD ", "DEL " and "RNTO ": one file-system operation each, answered
// with "OK" or an error word and the I/O error number.
#ifndef TARNEL_FILES_MANAGEMENT_H_
#define TARNEL_FILES_MANAGEMENT_H_

#include <string>

#include "files/file_system.h"
#include "link/lines.h"

namespace tarnel {

bool make_directory(Lines& lines, FileSystem& fs, const std::string& path);
bool remove_directory(Lines& lines, FileSystem& fs, const std::string& path);
bool delete_file(Lines& lines, FileSystem& fs, const std::string& path);
bool rename_file(Lines& lines, FileSystem& fs, const std::string& source,
                 const std::string& target);

}  // namespace tarnel

#endif  // TARNEL_FILES_MANAGEMENT_H_
