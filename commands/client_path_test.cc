#include "commands/client_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnel {
namespace {

TEST(MapClientPath, TurnsClientPathsIntoAbsoluteLocalPaths) {
  struct {
    const char* from;
    const char* to;
  } const cases[] = {
      {"\\dir\\f", "/dir/f"},
      {"dir\\f", "/dir/f"},
      {"/dir/f", "/dir/f"},
      {"a/b\\c", "/a/b/c"},
      {"", "/"},
      {"C:\\x", "/C:/x"},
      {"..\\etc", "/../etc"},
      {"\\", "/"},
      {"a b\\C D", "/a b/C D"},
  };
  for (const auto& c : cases) EXPECT_EQ(map_client_path(c.from), c.to) << c.from;
}

TEST(MapClientPath, CutsAt255Bytes) {
  std::string rooted = "\\" + std::string(254, 'a');
  EXPECT_EQ(map_client_path(rooted), "/" + std::string(254, 'a'));

  std::string relative = "b" + std::string(254, 'c');
  EXPECT_EQ(map_client_path(relative), "/b" + std::string(253, 'c'));

  EXPECT_EQ(map_client_path(std::string(400, 'x')).size(), 255u);
}

}  // namespace
}  // namespace tarnel
