// The settings file, users and permissions as kavro3-check sees them on POSIX.
#include "tools/check/system.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavro::check {
namespace {

constexpr int kMaxGroups = 1024;

std::string userName(uid_t uid) {
  struct passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
  struct group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

// The permission bits (r 4, w 2, x 1) that apply to `user` for `st`. The
// owner's class excludes the group's, as in the kernel.
int bitsFor(const struct stat& st, const UserIds& user) {
  if (user.uid == 0) return kMayRead | kMayWrite | kMaySearch;
  if (st.st_uid == user.uid) return (st.st_mode >> 6) & 7;
  bool member = st.st_gid == user.gid;
  for (std::uint32_t gid : user.groups) member = member || st.st_gid == gid;
  return member ? (st.st_mode >> 3) & 7 : st.st_mode & 7;
}

std::string wantedText(int wanted) {
  std::string text;
  auto add = [&](int bit, const char* word) {
    if ((wanted & bit) == 0) return;
    if (!text.empty()) text += " and ";
    text += word;
  };
  add(kMayRead, "readable");
  add(kMayWrite, "writable");
  add(kMaySearch, "searchable");
  return text;
}

}  // namespace

RegFileReport regInspectFile() {
  RegFileReport report;
  report.path = platform::regFilePath(&report.fromEnvironment);
  std::string bytes;
  int error = platform::regReadFile(report.path.c_str(), &bytes);
  if (error != 0) {
    report.error = error == EFBIG ? "larger than 16 MiB" : std::strerror(error);
    return report;
  }
  report.read = true;
  report.size = bytes.size();
  platform::parseRegFile(bytes, &report.skipped);
  return report;
}

void useSettingsFile(const char* path) { ::setenv("KAVRO3_REGISTRY", path, 1); }

bool lookUpUser(const std::string& name, UserIds* user) {
  struct passwd* entry = ::getpwnam(name.c_str());
  if (entry == nullptr) return false;
  user->name = entry->pw_name;
  user->uid = entry->pw_uid;
  user->gid = entry->pw_gid;
  gid_t groups[kMaxGroups];
  int count = kMaxGroups;
  if (::getgrouplist(entry->pw_name, entry->pw_gid, groups, &count) < 0) count = 0;
  user->groups.assign(groups, groups + count);
  return true;
}

UserIds currentUser() {
  UserIds user;
  user.uid = ::geteuid();
  user.gid = ::getegid();
  user.name = userName(user.uid);
  gid_t groups[kMaxGroups];
  int count = ::getgroups(kMaxGroups, groups);
  if (count > 0) user.groups.assign(groups, groups + count);
  return user;
}

AccessCheck checkAccess(const std::string& path, const UserIds& user, int wanted) {
  AccessCheck check;
  std::string full = path;
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  struct stat st;
  if (::stat(full.c_str(), &st) == 0) {
    check.exists = true;
    check.isDirectory = S_ISDIR(st.st_mode);
    check.mode = st.st_mode & 07777;
    check.owner = userName(st.st_uid);
    check.group = groupName(st.st_gid);
  }
  // Every directory above the path, from the root down, must be searchable;
  // the first one missing is the one to name.
  for (std::size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
    std::string above = full.substr(0, slash);
    struct stat dir;
    if (::stat(above.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
      check.deniedAt = above;
      check.problem = ::stat(above.c_str(), &dir) != 0 ? "does not exist" : "is not a directory";
      return check;
    }
    if ((bitsFor(dir, user) & kMaySearch) == 0) {
      check.deniedAt = above;
      check.problem = "is not searchable by " + user.name;
      return check;
    }
  }
  check.deniedAt = full;
  if (!check.exists) {
    check.problem = "does not exist";
  } else if ((bitsFor(st, user) & wanted) != wanted) {
    check.problem = "is not " + wantedText(wanted & ~bitsFor(st, user)) + " by " + user.name;
  } else {
    check.deniedAt.clear();
    check.allowed = true;
  }
  return check;
}

}  // namespace kavro::check

namespace kavro::check {

std::string gatewayDirectory() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "/usr/lib/kavro3";
  std::string bin(self, static_cast<std::size_t>(n));
  bin.erase(bin.rfind('/') == std::string::npos ? 0 : bin.rfind('/'));
  std::string prefix = bin.substr(0, bin.rfind('/') == std::string::npos ? 0 : bin.rfind('/'));
  return prefix + "/lib/kavro3";
}

}  // namespace kavro::check
