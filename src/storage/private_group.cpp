#include "storage/private_group.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "storage/temporary_files.h"

namespace parcelmoor {
namespace {

constexpr mode_t kSharedMode = 02770;
constexpr gid_t kNoGroup = static_cast<gid_t>(-1);
std::atomic<gid_t> sharedGroup{kNoGroup};

// Gives an existing directory to the group, setgid and group-writable.
int Share(const std::string& path, gid_t group) {
  if (::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) return -1;
  return ::chmod(path.c_str(), kSharedMode);
}

}  // namespace

int MakePrivateDirectory(const std::string& path) {
  const gid_t group = sharedGroup.load();
  if (group == kNoGroup) return ::mkdir(path.c_str(), 0700);
  if (::mkdir(path.c_str(), 0700) != 0) return -1;
  // Open to the group only once it is the group's: made 0700 first.
  if (Share(path, group) != 0) return -1;
  return 0;
}

bool SharePrivateDirectoryWith(const std::string& uploadDirectory, gid_t group, std::string& error) {
  const std::string path = PrivateDirectoryOf(uploadDirectory);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make " + path + ": " + std::strerror(errno);
    return false;
  }
  if (Share(path, group) != 0) {
    error = "cannot give " + path + " to group " + std::to_string(group) + ": " + std::strerror(errno) +
            " (the server must be a member of the group)";
    return false;
  }
  sharedGroup.store(group);
  const mode_t mask = ::umask(0);
  ::umask(mask & ~static_cast<mode_t>(070));
  return true;
}

std::optional<gid_t> GroupNamed(const std::string& name) {
  unsigned long number = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (!name.empty() && ec == std::errc() && end == name.data() + name.size()) return static_cast<gid_t>(number);
  std::vector<char> buffer(16 * 1024);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

}  // namespace parcelmoor
