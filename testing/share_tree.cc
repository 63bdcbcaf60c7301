#include "testing/share_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace tarnel::testing {

namespace {

void snapshot_into(const std::string& dir, const std::string& relative, const std::string& skip,
                   std::string& out) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (rel == skip) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      out += rel + " gone\n";
      continue;
    }
    out += rel + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      out += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      out += " [" + read_file(path) + "]";
    }
    out += "\n";
    if (S_ISDIR(st.st_mode)) snapshot_into(path, rel, skip, out);
  }
}

void link_to(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot make " << path;
}

}  // namespace

std::string tree_snapshot(const std::string& dir) {
  std::string out;
  snapshot_into(dir, "", "", out);
  return out;
}

ShareTree::ShareTree() {
  for (const std::string& d :
       {share(), share("sub"), share("empty"), outside(), outside() + "/keep"}) {
    if (mkdir(d.c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << d;
  }
  write_file(share("a.txt"), "inside a");
  write_file(share("sub/b.txt"), "inside b");
  write_file(outside() + "/secret.txt", "secret");
  link_to("../a.txt", share("sub/up"));
  link_to("../outside", share("to_dir"));
  link_to("../outside/secret.txt", share("to_file"));
  link_to(share("a.txt"), share("abs_inside"));
  link_to(outside() + "/secret.txt", share("abs_outside"));
  link_to("../outside/new.txt", share("dangling_out"));
  link_to("made.txt", share("dangling_in"));
}

std::string ShareTree::outside_snapshot() const {
  std::string out;
  snapshot_into(base(), "", "share", out);
  // The base directory itself: nothing may appear beside share/ and outside/.
  struct stat st;
  if (lstat(base().c_str(), &st) == 0) {
    out += ". " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return out;
}

}  // namespace tarnel::testing
