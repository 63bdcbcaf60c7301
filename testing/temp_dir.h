// A fresh directory for one test, removed with everything in it afterwards.
#ifndef TARNEL_TESTING_TEMP_DIR_H_
#define TARNEL_TESTING_TEMP_DIR_H_

#include <string>

namespace tarnel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes `bytes` to a file (created or truncated); fails the test on error.
void write_file(const std::string& path, const std::string& bytes);
/// The whole file; fails the test on error.
std::string read_file(const std::string& path);

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_TEMP_DIR_H_
