// --help and --version of the servers, looked for before anything else.
#ifndef TARNEL_STARTUP_USAGE_H_
#define TARNEL_STARTUP_USAGE_H_

#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

/// The release, as the programs report it with --version.
constexpr const char* kVersion = TARNEL_VERSION;

/// The --help text of `program` ("tarnel" or "tarnel-sim").
std::string server_usage(std::string_view program);

/// The usage line(s) that a refused command line is followed by, from the
/// option table.
std::string server_synopsis(std::string_view program);

/// When the arguments (program name excluded) hold "--help" or "--version",
/// prints the usage or the version of `program` on standard output and
/// returns true: the program then ends with status 0 before it touches the
/// console, the port or the cable. "--help" wins over "--version".
bool print_info_option(const std::vector<std::string>& args, std::string_view program);

}  // namespace tarnel

#endif  // TARNEL_STARTUP_USAGE_H_
