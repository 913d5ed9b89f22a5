#include "platform/linux/Host.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// The kernel's form of system.posix_acl_access: a version, then entries of
// tag, permissions and id, little-endian.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kAclUser = 0x02;
constexpr std::uint16_t kAclGroupObject = 0x04;
constexpr std::uint16_t kAclGroup = 0x08;

void ReadAcl(const std::string& path, NodeStat& node) {
  unsigned char buffer[1024];
  const ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
  if (n < 4) return;
  const auto u16 = [&](ssize_t at) {
    return static_cast<std::uint16_t>(buffer[at] | (buffer[at + 1] << 8));
  };
  const auto u32 = [&](ssize_t at) {
    return static_cast<std::uint32_t>(buffer[at]) | static_cast<std::uint32_t>(buffer[at + 1]) << 8 |
           static_cast<std::uint32_t>(buffer[at + 2]) << 16 |
           static_cast<std::uint32_t>(buffer[at + 3]) << 24;
  };
  if (u32(0) != kAclVersion) return;
  for (ssize_t at = 4; at + 8 <= n; at += 8) {
    const std::uint16_t tag = u16(at);
    const AclEntry entry{u32(at + 4), u16(at + 2)};
    if (tag == kAclUser) node.aclUsers.push_back(entry);
    else if (tag == kAclGroup) node.aclGroups.push_back(entry);
    else if (tag == kAclGroupObject) node.aclGroupObject = entry.perm;
  }
  node.acl = !node.aclUsers.empty() || !node.aclGroups.empty();
}

class MachineHost : public Host {
 public:
  unsigned Euid() const override { return geteuid(); }
  std::vector<unsigned> SessionGroups() const override {
    std::vector<gid_t> gids(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
    gids.resize(static_cast<std::size_t>(
        std::max(getgroups(static_cast<int>(gids.size()), gids.data()), 0)));
    gids.push_back(getegid());
    return {gids.begin(), gids.end()};
  }
  std::string Env(const std::string& name) const override {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
  }
  NodeStat Stat(const std::string& path) const override {
    NodeStat node;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return node;
    node.exists = true;
    node.charDevice = S_ISCHR(st.st_mode);
    node.directory = S_ISDIR(st.st_mode);
    node.uid = st.st_uid;
    node.gid = st.st_gid;
    node.mode = st.st_mode & 07777;
    ReadAcl(path, node);
    return node;
  }
};

MachineHost g_machine;
std::atomic<const Host*> g_host{nullptr};

}  // namespace

const Host& CurrentHost() {
  const Host* host = g_host.load();
  return host != nullptr ? *host : g_machine;
}

void SetHostForTest(const Host* host) { g_host.store(host); }

}  // namespace platform
