// What `tavrin-cli doctor` learns from the system other than by reading its
// files: who runs it, the session's groups, the environment, and the owner,
// mode and ACL of a file (which a fake machine in a test folder cannot give
// its files without root). Tests put a fake in its place.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct AclEntry {
  unsigned id = 0;
  unsigned perm = 0;  // 4 read, 2 write, 1 execute
};

struct NodeStat {
  bool exists = false;
  bool charDevice = false;
  bool directory = false;
  unsigned uid = 0;
  unsigned gid = 0;
  unsigned mode = 0;  // permission bits; with an ACL the group bits are its mask
  // Entries of an access ACL beyond the mode: named users and groups.
  bool acl = false;
  unsigned aclGroupObject = 0;  // the owning group's own entry
  std::vector<AclEntry> aclUsers;
  std::vector<AclEntry> aclGroups;
};

class Host {
 public:
  virtual ~Host() = default;
  virtual unsigned Euid() const = 0;
  // This session's groups, the effective one included.
  virtual std::vector<unsigned> SessionGroups() const = 0;
  // An environment variable; empty when unset.
  virtual std::string Env(const std::string& name) const = 0;
  // `path` as given (already below the system root), links followed.
  virtual NodeStat Stat(const std::string& path) const = 0;
};

// The machine's own, or the one a test set.
const Host& CurrentHost();
// Tests: nullptr restores the machine's own. The host must outlive its use.
void SetHostForTest(const Host* host);

}  // namespace platform
