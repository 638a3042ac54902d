// kavro3-check: what the gateway would do for one SCRIPT_NAME, found with
// the gateway's own code (settings, server list, Engine link, login), and
// what stands in its way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "gateway/settings.h"
#include "tools/check/system.h"

namespace kavro::check {

struct Options {
  bool scriptNameSet = false;
  std::string target;  // SCRIPT_NAME, or a URL whose path stands for it
  std::string user;    // --user; empty: the user running the check
  bool connect = false;
  bool spool = false;
  bool json = false;
  bool brief = false;  // text: only the problems, and the checks asked for
  // --timeout: the bound of each wait of --connect when EngineTimeout sets
  // none (the gateway would then wait as long as the system lets it).
  int timeoutSeconds = kDefaultTimeoutSeconds;
  // --workdir: the gateway's working directory, which an empty or relative
  // FilePath counts from; empty: the gateway's directory beside kavro3-check.
  std::string workdir;
  // Each line of the connect check as soon as it is known (text reports).
  std::function<void(const std::string& line)> progress;

  static constexpr int kDefaultTimeoutSeconds = 10;
};

enum class Level { kWarning, kError };

// Where a problem belongs: the section of the report that shows it.
enum class Topic { kSettingsFile, kKey, kSettings, kServers, kOutagePage, kSpool, kConnect };

struct Problem {
  Level level;
  Topic topic;
  std::string text;
};

struct SettingFacts {
  SettingView view;
  std::string value;
  bool hidden = false;
  bool inBaseKey = false;  // missing from the application key, set in the base key
};

struct Attempt {
  std::string host;
  std::string port;
  bool connected = false;
  std::string text;  // the link's text of the failure, as the gateway reports it
};

enum class LoginOutcome { kNotTried, kAccepted, kRefused, kFailed };

struct Report {
  UserIds user;
  bool userGiven = false;

  RegFileReport file;
  AccessCheck fileAccess;  // for the user, when one is given

  bool scriptNameSet = false;
  std::string scriptName;
  std::string url;             // when the target was a URL
  std::string applicationKey;  // empty: SCRIPT_NAME names no application
  bool applicationKeyExists = false;
  bool baseKeyExists = false;
  KeyChoice keyChoice = KeyChoice::kNone;
  std::string keyPath;
  Settings values{};  // as the gateway reads them for this SCRIPT_NAME

  std::vector<SettingFacts> settings;
  std::string registryInfo;

  std::vector<std::string> serverNames;   // "host:port", in list order
  std::vector<std::size_t> attemptOrder;  // the gateway's order when every attempt fails
  bool randomStart = false;

  bool outagePage = false;
  AccessCheck outageAccess;

  std::string fileMode;
  bool spoolUsed = false;
  std::string spoolDirectory;  // FilePath up to its last '/'
  bool spoolChecked = false;
  AccessCheck spoolAccess;

  bool connectChecked = false;
  std::vector<Attempt> attempts;
  std::string loginUser;  // as the Login message carries them: upper-cased
  std::string loginApplication;
  LoginOutcome login = LoginOutcome::kNotTried;
  std::string loginText;

  std::vector<Problem> problems;

  // 0: no problem; 1: warnings only; 2: errors.
  int status() const;
};

// Runs every check the options ask for but the connect check. False (with
// `error` set) when the options cannot be used, such as an unknown user.
bool inspect(const Options& options, Report* report, std::string* error);
// Connects to the Engine Servers in the gateway's order and logs in, each
// step bounded; options.progress learns each line as it happens.
void inspectConnect(const Options& options, Report* report);

// The text report up to the connect check; the connect check's lines; its
// problems and the result line.
void printText(const Report& report, bool brief, std::string* out);
std::string attemptLine(std::size_t index, const Attempt& attempt);
std::string noAttemptLine(const Report& report);
std::string loginLine(const Report& report);
std::string printTextEnd(const Report& report);
void printJson(const Report& report, std::string* out);

// For the texts: REG_SZ and its kin by name, others as "type N".
std::string typeName(std::uint32_t type);

}  // namespace kavro::check
