// The report as text for people and as JSON for scripts. Both show the
// gateway's own texts (the link's failures, the engine's login text) as they
// are; the text form drops the line ends around them and escapes control
// bytes, so that each finding stays on its line.
#include <cstdio>

#include "gateway/error_log.h"
#include "tools/check/check.h"

namespace kavro::check {
namespace {

// ---------------------------------------------------------------- text

// Control bytes as \n, \r, \t or \xHH, as the error-log line shows them;
// everything else as it is.
std::string shown(std::string_view text) {
  std::string out;
  char escaped[kLogEscapeMax];
  for (char c : text) out.append(escaped, escapeLogByte(static_cast<unsigned char>(c), false, escaped));
  return out;
}

// A gateway text without the line ends that open or close it.
std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == '\n' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return shown(text);
}

std::string quoted(std::string_view text) { return "\"" + shown(text) + "\""; }

std::string sourceText(const SettingFacts& s) {
  switch (s.view.source) {
    case SettingSource::kApplicationKey: return "application key";
    case SettingSource::kBaseKey: return "base key";
    case SettingSource::kMissing:
      return s.inBaseKey ? "default: not in the key; the base key's value does not count"
                         : "default: not in the key";
    case SettingSource::kTooLong:
      return "default: the value takes " + std::to_string(s.view.storedSize) + " bytes, at most " +
             std::to_string(s.view.maxBytes) + " count";
    case SettingSource::kWrongType:
      return "default: the value is " + typeName(s.view.storedType) + ", not REG_SZ";
    case SettingSource::kNoKey: return "default: no key";
    case SettingSource::kNotRead: return "default: not read without a key";
  }
  return "";
}

std::string accessText(const AccessCheck& a) {
  if (!a.exists) return "does not exist";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", a.mode);
  return std::string(a.isDirectory ? "directory" : "file") + ", mode " + mode + ", owner " + a.owner +
         ", group " + a.group;
}

void problemsOf(const Report& r, Topic topic, std::string* out) {
  for (const Problem& p : r.problems) {
    if (p.topic != topic) continue;
    *out += p.level == Level::kError ? "  error: " : "  warning: ";
    *out += shown(p.text) + "\n";
  }
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// The sections of the text report, each a first line (head) and details.

std::string settingsFileHead(const Report& r) {
  return "settings file: " + shown(r.file.path) +
         (r.file.fromEnvironment ? " (KAVRO3_REGISTRY)" : " (the default)") +
         (r.file.read ? ", " + plural(r.file.size, "byte") : "") + "\n";
}

std::string keyHead(const Report& r) {
  std::string head = "script name: " +
                     (!r.scriptNameSet ? std::string("unset")
                                       : quoted(r.scriptName) +
                                             (r.url.empty() ? "" : " (the path of " + shown(r.url) + ")")) +
                     "\nkey: ";
  switch (r.keyChoice) {
    case KeyChoice::kApplication: return head + shown(r.keyPath) + " (the application's key)\n";
    case KeyChoice::kBase:
      return head + shown(r.keyPath) + " (the base key; " +
             (r.applicationKey.empty() ? std::string("SCRIPT_NAME names no application")
                                       : shown(r.applicationKey) + " does not exist") +
             ")\n";
    default:
      return head + "none (" +
             (r.applicationKey.empty()
                  ? "SCRIPT_NAME names no application, and the base key " + std::string(kBaseKey) +
                        " does not exist"
                  : "neither " + shown(r.applicationKey) + " nor the base key " + kBaseKey + " exists") +
             ")\n";
  }
}

std::string settingsDetails(const Report& r) {
  std::string details;
  for (const SettingFacts& s : r.settings) {
    details += "  " + std::string(s.view.name) + " = ";
    details += s.hidden ? "(hidden, " + plural(s.value.size(), "byte") + ")" : quoted(s.value);
    details += " (" + sourceText(s) + ")\n";
  }
  return details;
}

std::string serversHead(const Report& r) {
  std::string head = "servers:";
  for (std::size_t i = 0; i < r.serverNames.size(); ++i) head += (i ? ", " : " ") + shown(r.serverNames[i]);
  return head + (r.serverNames.empty() ? " none\n" : "\n");
}

// The servers by name, in the order the gateway tries them.
std::string serversDetails(const Report& r) {
  if (r.attemptOrder.empty()) return "";
  std::string details =
      r.randomStart ? "  tried from a random one, each once; from the first: " : "  tried: ";
  for (std::size_t i = 0; i < r.attemptOrder.size(); ++i)
    details += (i ? ", then " : "") + shown(r.serverNames[r.attemptOrder[i]]);
  return details + "\n";
}

std::string spoolHead(const Report& r) {
  std::string head = "spool: FileMode " + quoted(r.fileMode) + ": ";
  char mode = r.fileMode.empty() ? '\0' : r.fileMode[0];
  if (mode == '1') return head + "uploads are spooled to files, removed at the end of each request\n";
  if (mode == '2') return head + "uploads are spooled to files, which the engine removes\n";
  if (mode == '3') return head + "uploads travel inline; nothing is spooled\n";
  return head + "uploads reach the engine as SKIPPED; nothing is spooled\n";
}

std::string spoolDetails(const Report& r) {
  if (!r.spoolChecked) return "";
  std::string details = "  " + shown(r.spoolDirectory) + ": " + accessText(r.spoolAccess);
  if (r.spoolAccess.allowed && r.spoolAccess.isDirectory)
    details += r.userGiven ? "; " + r.user.name + " may create files in it" : "; files may be created in it";
  return details + "\n";
}

std::string resultLine(const Report& r) {
  std::size_t errors = 0, warnings = 0;
  for (const Problem& p : r.problems) (p.level == Level::kError ? errors : warnings) += 1;
  std::string line = "result: ";
  if (errors == 0 && warnings == 0) line += "no problem found";
  if (errors > 0) line += plural(errors, "error") + (warnings > 0 ? ", " : "");
  if (warnings > 0) line += plural(warnings, "warning");
  return line + "\n";
}

// ---------------------------------------------------------------- JSON

// A JSON string. Bytes that are not valid UTF-8 are taken as Latin-1, so the
// document stays valid whatever the settings file holds.
std::string json(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char u = static_cast<unsigned char>(text[i]);
    std::size_t length = u < 0x80 ? 1 : (u >> 5) == 6 ? 2 : (u >> 4) == 14 ? 3 : (u >> 3) == 30 ? 4 : 0;
    bool valid = length > 1 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k)
      valid = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
    if (valid) {
      out.append(text, i, length);
      i += length - 1;
    } else if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u >= 0x20 && u < 0x7F) {
      out += static_cast<char>(u);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
      out += escaped;
    }
  }
  return out + "\"";
}

std::string json(const char* text) { return json(std::string_view(text)); }
std::string json(bool value) { return value ? "true" : "false"; }
std::string json(std::size_t value) { return std::to_string(value); }

const char* sourceName(SettingSource source) {
  switch (source) {
    case SettingSource::kApplicationKey: return "application-key";
    case SettingSource::kBaseKey: return "base-key";
    case SettingSource::kMissing: return "default-missing";
    case SettingSource::kTooLong: return "default-too-long";
    case SettingSource::kWrongType: return "default-wrong-type";
    case SettingSource::kNoKey: return "default-no-key";
    case SettingSource::kNotRead: return "default-not-read";
  }
  return "";
}

const char* topicName(Topic topic) {
  switch (topic) {
    case Topic::kSettingsFile: return "settings-file";
    case Topic::kKey: return "key";
    case Topic::kSettings: return "settings";
    case Topic::kServers: return "servers";
    case Topic::kOutagePage: return "outage-page";
    case Topic::kSpool: return "spool";
    case Topic::kConnect: return "connect";
  }
  return "";
}

std::string jsonAccess(const AccessCheck& a) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", a.mode);
  std::string out = "{\"exists\": " + json(a.exists) + ", \"directory\": " + json(a.isDirectory) +
                    ", \"allowed\": " + json(a.allowed);
  if (a.exists)
    out += ", \"mode\": " + json(std::string_view(mode)) + ", \"owner\": " + json(a.owner) +
           ", \"group\": " + json(a.group);
  if (!a.allowed) out += ", \"deniedAt\": " + json(a.deniedAt) + ", \"problem\": " + json(a.problem);
  return out + "}";
}

// The objects of the JSON report that take more than a line.

std::string jsonSettingsFile(const Report& r) {
  std::string o = "{\"path\": " + json(r.file.path) +
                  ", \"fromEnvironment\": " + json(r.file.fromEnvironment) +
                  ", \"read\": " + json(r.file.read);
  if (r.file.read) {
    o += ", \"bytes\": " + json(r.file.size) + ", \"skipped\": [";
    for (std::size_t i = 0; i < r.file.skipped.size(); ++i) {
      const platform::RegSkippedLine& line = r.file.skipped[i];
      o += std::string(i ? ", " : "") + "{\"line\": " + json(line.line) +
           ", \"reason\": " + json(std::string_view(platform::regSkipReasonName(line.reason))) +
           ", \"text\": " + json(line.text) + "}";
    }
    o += "]";
  } else {
    o += ", \"error\": " + json(r.file.error);
  }
  if (r.userGiven && r.file.read) o += ", \"access\": " + jsonAccess(r.fileAccess);
  return o + "}";
}

std::string jsonKey(const Report& r) {
  const char* kind = r.keyChoice == KeyChoice::kApplication ? "application"
                     : r.keyChoice == KeyChoice::kBase      ? "base"
                                                            : "none";
  return "{\"used\": " + json(std::string_view(kind)) +
         ", \"path\": " + (r.keyChoice == KeyChoice::kNone ? "null" : json(r.keyPath)) +
         ", \"applicationKey\": " + (r.applicationKey.empty() ? "null" : json(r.applicationKey)) +
         ", \"applicationKeyExists\": " + json(r.applicationKeyExists) +
         ", \"baseKeyExists\": " + json(r.baseKeyExists) + "}";
}

// One line a setting.
std::string jsonSettings(const Report& r) {
  std::string o;
  for (std::size_t i = 0; i < r.settings.size(); ++i) {
    const SettingFacts& s = r.settings[i];
    o += "    {\"name\": " + json(std::string_view(s.view.name)) +
         ", \"value\": " + (s.hidden ? "null" : json(s.value)) +
         ", \"source\": " + json(std::string_view(sourceName(s.view.source)));
    if (s.hidden) o += ", \"hidden\": true, \"bytes\": " + json(s.value.size());
    if (s.view.source == SettingSource::kTooLong) o += ", \"storedBytes\": " + json(s.view.storedSize);
    if (s.view.source == SettingSource::kWrongType)
      o += ", \"storedType\": " + json(typeName(s.view.storedType));
    if (s.inBaseKey) o += ", \"inBaseKey\": true";
    o += std::string("}") + (i + 1 < r.settings.size() ? "," : "") + "\n";
  }
  return o;
}

std::string jsonConnect(const Report& r) {
  std::string o = "{\"attempts\": [";
  for (std::size_t i = 0; i < r.attempts.size(); ++i) {
    const Attempt& a = r.attempts[i];
    o += std::string(i ? ", " : "") + "{\"host\": " + json(a.host) + ", \"port\": " + json(a.port) +
         ", \"connected\": " + json(a.connected) + (a.connected ? "" : ", \"text\": " + json(a.text)) + "}";
  }
  const char* login = r.login == LoginOutcome::kAccepted  ? "accepted"
                      : r.login == LoginOutcome::kRefused ? "refused"
                      : r.login == LoginOutcome::kFailed  ? "failed"
                                                          : "not-tried";
  o += "], \"login\": " + json(std::string_view(login));
  if (r.login != LoginOutcome::kNotTried)
    o += ", \"user\": " + json(r.loginUser) + ", \"application\": " + json(r.loginApplication);
  if (!r.loginText.empty() || r.login == LoginOutcome::kRefused) o += ", \"text\": " + json(r.loginText);
  return o + "}";
}

}  // namespace

void printText(const Report& r, bool brief, std::string* out) {
  // A section: its first line, its details, its problems. In brief, a
  // section shows only with problems, and only its first line with them,
  // but for the checks asked for by name (spool, connect).
  auto section = [&](const std::string& head, const std::string& details, Topic topic, bool asked) {
    std::string problems;
    problemsOf(r, topic, &problems);
    if (brief && problems.empty() && !asked) return;
    *out += head;
    if (!brief || asked) *out += details;
    *out += problems;
  };
  section(settingsFileHead(r),
          r.userGiven && r.file.read && r.fileAccess.allowed ? "  readable by " + r.user.name + "\n" : "",
          Topic::kSettingsFile, false);
  section(keyHead(r), "", Topic::kKey, false);
  section("settings:\n", settingsDetails(r), Topic::kSettings, false);
  if (!brief) *out += "registry info: " + shown(r.registryInfo) + "\n";
  section(serversHead(r), serversDetails(r), Topic::kServers, false);
  section("outage page: " +
              (r.outagePage ? shown(r.values.sysDownPage) + ": " + accessText(r.outageAccess) : "none") +
              "\n",
          "", Topic::kOutagePage, false);
  section(spoolHead(r), spoolDetails(r), Topic::kSpool, r.spoolChecked);
}

std::string attemptLine(std::size_t index, const Attempt& a) {
  return "  attempt " + std::to_string(index + 1) + ", " + shown(a.host) + ":" + shown(a.port) + ": " +
         (a.connected ? "connected" : trimmed(a.text)) + "\n";
}

std::string noAttemptLine(const Report& r) { return "  no attempt: " + trimmed(r.loginText) + "\n"; }

std::string loginLine(const Report& r) {
  std::string line =
      "  login as " + quoted(r.loginUser) + ", application " + quoted(r.loginApplication) + ": ";
  if (r.login == LoginOutcome::kAccepted) return line + "accepted\n";
  if (r.login == LoginOutcome::kRefused) return line + "refused: " + quoted(r.loginText) + "\n";
  return line + trimmed(r.loginText) + "\n";
}

std::string printTextEnd(const Report& r) {
  std::string out;
  if (r.connectChecked) problemsOf(r, Topic::kConnect, &out);
  return out + resultLine(r);
}

void printJson(const Report& r, std::string* out) {
  *out += "{\n  \"settingsFile\": " + jsonSettingsFile(r) +
          ",\n  \"scriptName\": " + (r.scriptNameSet ? json(r.scriptName) : "null");
  if (!r.url.empty()) *out += ", \"url\": " + json(r.url);
  *out += ",\n  \"key\": " + jsonKey(r) + ",\n  \"settings\": [\n" + jsonSettings(r) +
          "  ],\n  \"registryInfo\": " + json(r.registryInfo) + ",\n  \"servers\": [";
  for (std::size_t i = 0; i < r.serverNames.size(); ++i) *out += (i ? ", " : "") + json(r.serverNames[i]);
  *out += "], \"randomStart\": " + json(r.randomStart) + ", \"order\": [";
  for (std::size_t i = 0; i < r.attemptOrder.size(); ++i)
    *out += (i ? ", " : "") + json(r.attemptOrder[i] + 1);
  *out += "],\n  \"outagePage\": " + (r.outagePage ? "{\"path\": " + json(r.values.sysDownPage) +
                                                         ", \"access\": " + jsonAccess(r.outageAccess) + "}"
                                                   : std::string("null"));
  *out += ",\n  \"spool\": {\"fileMode\": " + json(r.fileMode) + ", \"used\": " + json(r.spoolUsed);
  if (r.spoolUsed) *out += ", \"directory\": " + json(r.spoolDirectory);
  if (r.spoolChecked) *out += ", \"access\": " + jsonAccess(r.spoolAccess);
  *out += "}";
  if (r.connectChecked) *out += ",\n  \"connect\": " + jsonConnect(r);
  *out += ",\n  \"problems\": [";
  for (std::size_t i = 0; i < r.problems.size(); ++i) {
    const Problem& p = r.problems[i];
    *out += std::string(i ? "," : "") +
            "\n    {\"level\": " + json(std::string_view(p.level == Level::kError ? "error" : "warning")) +
            ", \"topic\": " + json(std::string_view(topicName(p.topic))) + ", \"text\": " + json(p.text) +
            "}";
  }
  *out += std::string(r.problems.empty() ? "" : "\n  ") + "],\n  \"status\": " + std::to_string(r.status()) +
          "\n}\n";
}

}  // namespace kavro::check
