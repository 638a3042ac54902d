// What kavro3-check asks of the system besides the gateway's platform layer:
// the settings file as the gateway finds it, users, and permission checks.
// POSIX only (system_posix.cpp, the one file of kavro3-check that includes OS
// headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/reg_store.h"

namespace kavro::check {

// The settings file as the gateway finds it, and what its parser skipped.
struct RegFileReport {
  std::string path;  // KAVRO3_REGISTRY, or the default path
  bool fromEnvironment = false;
  bool read = false;  // false: `error` says why (missing, unreadable, too large)
  std::string error;
  std::size_t size = 0;
  std::vector<platform::RegSkippedLine> skipped;
};
RegFileReport regInspectFile();

// The gateway reads `path` from now on (KAVRO3_REGISTRY).
void useSettingsFile(const char* path);

// The directory of the gateway installed with this kavro3-check (bin/ and
// lib/kavro3/ under one prefix: /usr/lib/kavro3 from the package), where the
// guides' web servers start it.
std::string gatewayDirectory();

// A user as the kernel's permission checks see it.
struct UserIds {
  std::string name;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;  // supplementary groups
};
// False when there is no such user.
bool lookUpUser(const std::string& name, UserIds* user);
// The user this process runs as.
UserIds currentUser();

enum AccessWanted : int { kMayRead = 4, kMayWrite = 2, kMaySearch = 1 };

// Whether `user` may do `wanted` with the absolute `path`, judged from the
// permission bits alone (ACLs are not read; root may do everything): every
// directory above it must let the user search it.
struct AccessCheck {
  bool exists = false;
  bool isDirectory = false;
  bool allowed = false;
  std::string deniedAt;    // when not allowed: the path that refuses (or is missing)
  std::string problem;     // when not allowed: why, in words
  std::uint32_t mode = 0;  // of `path`: permission, set-id and sticky bits
  std::string owner;       // of `path`: names, or numbers without one
  std::string group;
};
AccessCheck checkAccess(const std::string& path, const UserIds& user, int wanted);

}  // namespace kavro::check
