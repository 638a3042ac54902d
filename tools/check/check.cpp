#include "tools/check/check.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "gateway/engine_link.h"
#include "gateway/engine_messages.h"
#include "gateway/strings.h"

namespace kavro::check {
namespace {

void add(Report* r, Level level, Topic topic, std::string text) {
  r->problems.push_back(Problem{level, topic, std::move(text)});
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of an http or https URL, %XX decoded as a web server decodes it
// before it sets SCRIPT_NAME. False when `text` is no such URL.
bool urlPath(std::string_view text, std::string* path) {
  std::size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return false;
  std::string_view name = text.substr(0, scheme);
  if (name != "http" && name != "https") return false;
  std::string_view rest = text.substr(scheme + 3);
  std::size_t start = rest.find('/');
  rest = start == std::string_view::npos ? std::string_view("/") : rest.substr(start);
  rest = rest.substr(0, rest.find_first_of("?#"));
  path->clear();
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
      path->push_back(static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2])));
      i += 2;
    } else {
      path->push_back(rest[i]);
    }
  }
  return true;
}

// The items of a list setting, split as the gateway splits it.
std::vector<std::string> listItems(const char* text) {
  std::string copy = text;
  const char* items[kMaxServers];
  std::size_t count = splitItems(copy.data(), ',', items, kMaxServers);
  return std::vector<std::string>(items, items + count);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// " by USER" when the check judges for a user given with --user.
std::string byUser(const Report& r) { return r.userGiven ? " by " + r.user.name : ""; }

std::string describeAccess(const AccessCheck& access) { return access.deniedAt + " " + access.problem; }

// ---------------------------------------------------------------- the settings file and the key

void inspectFile(Report* r) {
  r->file = regInspectFile();
  if (!r->file.read) {
    add(r, Level::kError, Topic::kSettingsFile,
        "cannot read " + r->file.path + ": " + r->file.error + "; the gateway then finds no key");
    return;
  }
  for (const platform::RegSkippedLine& skipped : r->file.skipped) {
    Level level = skipped.reason == platform::RegSkipReason::kNoHeader ? Level::kError : Level::kWarning;
    add(r, level, Topic::kSettingsFile,
        "line " + std::to_string(skipped.line) + " skipped (" + platform::regSkipReasonName(skipped.reason) +
            "), " + platform::regSkipReasonText(skipped.reason) + ": " + skipped.text);
  }
  if (r->userGiven) {
    r->fileAccess = checkAccess(r->file.path, r->user, kMayRead);
    if (!r->fileAccess.allowed)
      add(r, Level::kError, Topic::kSettingsFile,
          r->user.name + " cannot read the settings file: " + describeAccess(r->fileAccess));
  }
}

bool keyExists(const char* path) {
  platform::RegKey* key = platform::regOpenKey(path);
  if (key == nullptr) return false;
  platform::regCloseKey(key);
  return true;
}

// True when the base key holds `name` as a REG_SZ value that fits.
bool baseKeyHas(const char* name, std::size_t maxBytes) {
  platform::RegKey* key = platform::regOpenKey(kBaseKey);
  if (key == nullptr) return false;
  std::uint32_t type = platform::kRegNone;
  std::size_t size = 0;
  bool has = platform::regQueryValue(key, name, &type, nullptr, &size) == platform::RegStatus::kOk &&
             type == platform::kRegSz && size <= maxBytes;
  platform::regCloseKey(key);
  return has;
}

void inspectKey(const Options& o, Report* r) {
  r->scriptNameSet = o.scriptNameSet;
  if (o.scriptNameSet && urlPath(o.target, &r->scriptName)) {
    r->url = o.target;
  } else {
    r->scriptName = o.target;
  }
  const char* scriptName = r->scriptNameSet ? r->scriptName.c_str() : nullptr;
  char path[kKeyPathMax + 1];
  if (applicationKeyPath(scriptName, path, sizeof path)) {
    r->applicationKey = path;
    r->applicationKeyExists = keyExists(path);
  }
  r->baseKeyExists = keyExists(kBaseKey);

  // The gateway's own reading, recorded as it goes.
  readSettings(scriptName, &r->values);
  r->keyChoice = r->values.keyChoice;
  r->keyPath = r->values.keyPath;
  RegistryInfo info;
  buildRegistryInfo(r->values, &info);
  r->registryInfo = info.c_str();
  if (r->keyChoice == KeyChoice::kNone)
    add(r, Level::kError, Topic::kKey, "no key exists for this script: every setting takes its default");

  for (std::size_t i = 0; i < kSettingCount; ++i) {
    SettingView view = settingView(r->values, i);
    SettingFacts facts{view, view.value};
    const SettingView& v = facts.view;
    facts.hidden = std::strcmp(v.name, "UserPassword") == 0;
    std::string name = v.name;
    switch (v.source) {
      case SettingSource::kMissing:
        if (r->keyChoice == KeyChoice::kApplication && baseKeyHas(v.name, v.maxBytes)) {
          facts.inBaseKey = true;
          add(r, Level::kWarning, Topic::kSettings,
              name + " is set in the base key but not in " + r->keyPath +
                  ": keys are not merged, so it takes its default");
        }
        break;
      case SettingSource::kTooLong:
        add(r, Level::kWarning, Topic::kSettings,
            name + " is ignored: its value takes " + std::to_string(v.storedSize) + " bytes, at most " +
                std::to_string(v.maxBytes) + " count; it takes its default");
        break;
      case SettingSource::kWrongType:
        add(r, Level::kWarning, Topic::kSettings,
            name + " is ignored: its value is " + typeName(v.storedType) +
                ", only REG_SZ counts; it takes its default");
        break;
      default: break;
    }
    r->settings.push_back(std::move(facts));
  }
}

// ---------------------------------------------------------------- servers, outage page, spool

// The order of a failover loop in which every attempt fails.
struct OrderRecord {
  const ServerList* list;
  std::vector<std::size_t>* order;
};

bool recordOrder(EngineLink&, void* context, const char* host, const char*) {
  OrderRecord& record = *static_cast<OrderRecord*>(context);
  for (std::size_t i = 0; i < record.list->count; ++i)
    if (record.list->hosts[i] == host) record.order->push_back(i);
  return false;
}

void inspectServers(Report* r) {
  const Settings& s = r->values;
  ServerList list;
  buildServerList(s.serverUrl, s.serverPort, &list);
  for (std::size_t i = 0; i < list.count; ++i)
    r->serverNames.push_back(std::string(list.hosts[i]) + ":" + list.ports[i]);
  r->randomStart = s.multipleServers[0] == '1';
  // The gateway's own failover loop, every attempt failing, from the first.
  OrderRecord record{&list, &r->attemptOrder};
  EngineLink unused;
  if (list.count > 0) engineConnectAny(unused, list, 0, s.serverUrl, s.serverPort, recordOrder, &record);

  std::vector<std::string> hosts = listItems(s.serverUrl), ports = listItems(s.serverPort);
  if (list.count == 0) {
    add(r, Level::kError, Topic::kServers,
        "no Engine Server is configured: ServerURL or ServerPort holds no item");
  } else if (hosts.size() != ports.size()) {
    add(r, Level::kWarning, Topic::kServers,
        "ServerURL has " + std::to_string(hosts.size()) + " items and ServerPort " +
            std::to_string(ports.size()) + ": the items beyond " + std::to_string(list.count) +
            " are ignored");
  }
  for (const auto& [setting, items] : {std::pair{"ServerURL", &hosts}, std::pair{"ServerPort", &ports}}) {
    for (std::size_t i = 0; i < items->size() && i < list.count; ++i) {
      const std::string& item = (*items)[i];
      if (isBlank(item.front()) || isBlank(item.back()))
        add(r, Level::kWarning, Topic::kServers,
            std::string(setting) + " item \"" + item +
                "\" has a blank at its start or end, which is part of it");
    }
  }
}

void inspectOutagePage(Report* r) {
  const char* page = r->values.sysDownPage;
  if (page[0] == '\0') return;
  r->outagePage = true;
  r->outageAccess = checkAccess(page, r->user, kMayRead);
  if (!r->outageAccess.allowed) {
    add(r, Level::kError, Topic::kOutagePage,
        "SysDownPage cannot be read" + byUser(*r) + ": " + describeAccess(r->outageAccess) +
            "; every report then writes nothing at all and the web server answers with its own error");
  } else if (r->outageAccess.isDirectory) {
    add(r, Level::kError, Topic::kOutagePage, "SysDownPage names a directory");
  }
}

void inspectSpool(const Options& o, Report* r) {
  const Settings& s = r->values;
  r->fileMode = s.fileMode;
  r->spoolUsed = s.fileMode[0] == '1' || s.fileMode[0] == '2';
  if (!r->spoolUsed) return;
  std::string filePath = s.filePath;
  std::size_t slash = filePath.rfind('/');
  if (slash != std::string::npos) r->spoolDirectory = filePath.substr(0, slash + 1);
  bool relative = filePath.empty() || filePath[0] != '/';
  if (relative) {
    add(r, Level::kWarning, Topic::kSpool,
        std::string(filePath.empty() ? "FilePath is empty" : "FilePath is not an absolute path") +
            ": uploads are spooled relative to the web server's working directory, under names the engine "
            "cannot resolve");
    if (!o.spool) return;
    // Judged where the guides' web servers start the gateway: its own
    // directory, which its user seldom may write.
    std::string workdir = o.workdir.empty() ? gatewayDirectory() : o.workdir;
    if (workdir.back() != '/') workdir += '/';
    r->spoolDirectory = workdir + r->spoolDirectory;
  } else if (filePath.back() != '/')
    add(r, Level::kWarning, Topic::kSpool,
        "FilePath does not end with '/': it is a prefix, so the files are named " +
            filePath.substr(slash + 1) + "<index><request id> in " + r->spoolDirectory);
  if (!o.spool) return;
  r->spoolChecked = true;
  r->spoolAccess = checkAccess(r->spoolDirectory, r->user, kMayWrite | kMaySearch);
  if (!r->spoolAccess.allowed) {
    add(r, Level::kError, Topic::kSpool,
        "no files can be created in " + r->spoolDirectory + byUser(*r) + ": " +
            describeAccess(r->spoolAccess) + "; uploads reach the engine as ERROR");
  } else if (!r->spoolAccess.isDirectory) {
    add(r, Level::kError, Topic::kSpool, r->spoolDirectory + " is not a directory");
  }
}

// ---------------------------------------------------------------- connect and log in

struct Attempts {
  std::vector<Attempt>* all;
  const Options* options;
};

bool attempt(EngineLink& link, void* context, const char* host, const char* port) {
  Attempts& attempts = *static_cast<Attempts*>(context);
  bool connected = engineConnect(link, host, port);
  attempts.all->push_back(Attempt{host, port, connected, connected ? "" : engineLastError(link)});
  if (attempts.options->progress)
    attempts.options->progress(attemptLine(attempts.all->size() - 1, attempts.all->back()));
  return connected;
}

// Whether a failure's text is that of a wait that ran out.
bool ranOut(const std::string& text) {
  const std::string message = connectErrorMessage(platform::kNetTimedOut);
  return text.size() >= message.size() &&
         text.compare(text.size() - message.size(), message.size(), message) == 0;
}

std::string upperCased(std::string text) {
  upperCaseAscii(text.data());
  return text;
}

// A wait that ran out on kavro3-check's own bound would have lasted for ever
// in the gateway.
void noteOwnBound(const Options& o, Report* r) {
  add(r, Level::kWarning, Topic::kConnect,
      "EngineTimeout is unset: kavro3-check gave up after " + std::to_string(o.timeoutSeconds) +
          " s, where the gateway itself would wait for ever");
}

void logIn(const Options& o, Report* r, EngineLink& link, bool ownBound) {
  const Settings& s = r->values;
  const char* failure = nullptr;
  bool accepted = engineLogin(link, s, &failure);
  r->loginUser = upperCased(s.userName);
  r->loginApplication = upperCased(s.applicationName);
  if (accepted) {
    r->login = LoginOutcome::kAccepted;
    engineClose(link, &failure);
  } else {
    r->login = failure == engineLastError(link) ? LoginOutcome::kFailed : LoginOutcome::kRefused;
    r->loginText = failure;
    if (ownBound && r->login == LoginOutcome::kFailed && ranOut(r->loginText)) noteOwnBound(o, r);
    add(r, Level::kError, Topic::kConnect,
        r->login == LoginOutcome::kRefused ? "the engine refused the login"
                                           : "the link failed during the login");
  }
  if (o.progress) o.progress(loginLine(*r));
}

}  // namespace

void inspectConnect(const Options& o, Report* r) {
  r->connectChecked = true;
  const Settings& s = r->values;
  ServerList list;
  buildServerList(s.serverUrl, s.serverPort, &list);
  std::size_t start = firstServer(s.multipleServers, list.count);
  // The gateway's own bound on each wait, so that a stalled engine shows as
  // it would to a user; without one, a bound of our own, so that the check
  // never hangs.
  int bound = engineTimeoutSeconds(s);
  bool ownBound = bound == 0;
  EngineLink link;
  engineSetTimeout(link, ownBound ? o.timeoutSeconds : bound);
  Attempts attempts{&r->attempts, &o};
  if (!engineConnectAny(link, list, start, s.serverUrl, s.serverPort, attempt, &attempts)) {
    r->loginText = engineLastError(link);
    if (r->attempts.empty() && o.progress) o.progress(noAttemptLine(*r));
    bool anyRanOut = false;
    for (const Attempt& a : r->attempts) anyRanOut = anyRanOut || ranOut(a.text);
    if (ownBound && anyRanOut) noteOwnBound(o, r);
    add(r, Level::kError, Topic::kConnect,
        "no Engine Server accepted a connection; the gateway reports the text of the last attempt");
    return;
  }
  logIn(o, r, link, ownBound);
  engineDisconnect(link);
}

int Report::status() const {
  int status = 0;
  for (const Problem& problem : problems) {
    int level = problem.level == Level::kError ? 2 : 1;
    if (level > status) status = level;
  }
  return status;
}

std::string typeName(std::uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  return "type " + std::to_string(type);
}

bool inspect(const Options& options, Report* report, std::string* error) {
  report->userGiven = !options.user.empty();
  if (report->userGiven) {
    if (!lookUpUser(options.user, &report->user)) {
      *error = "no such user: " + options.user;
      return false;
    }
  } else {
    report->user = currentUser();
  }
  inspectFile(report);
  inspectKey(options, report);
  inspectServers(report);
  inspectOutagePage(report);
  inspectSpool(options, report);
  return true;
}

}  // namespace kavro::check
