#include "startup/identity.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel {

uid_t Identity::real_uid() { return getuid(); }
uid_t Identity::effective_uid() { return geteuid(); }

bool Identity::drop_root(std::string* why) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  // The group first: after the user ID is dropped it could not be changed.
  if (setresgid(gid, gid, gid) != 0) {
    *why = std::string("Cannot give up the group rights: ") + std::strerror(errno);
    return false;
  }
  if (setresuid(uid, uid, uid) != 0) {
    *why = std::string("Cannot give up root rights: ") + std::strerror(errno);
    return false;
  }
  uid_t r, e, s;
  gid_t rg, eg, sg;
  if (getresuid(&r, &e, &s) != 0 || r != uid || e != uid || s != uid ||
      getresgid(&rg, &eg, &sg) != 0 || rg != gid || eg != gid || sg != gid) {
    *why = "Cannot give up root rights: the user IDs did not change";
    return false;
  }
  return true;
}

}  // namespace tarnel
