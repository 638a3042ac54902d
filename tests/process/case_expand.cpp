#include "tests/process/case_expand.h"

#include <algorithm>
#include <filesystem>

#include "tests/process/gateway_run.h"
#include "wire/wire.h"

namespace kavro::test {
namespace {

namespace fs = std::filesystem;

// The defaults, written as a case would write them.
// The registry of a case without a registry section, and the start of one
// whose section is "registry +".
const std::vector<std::string> kUsualRegistry = {"REGEDIT4", "",
                                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\KAVRO3]",
                                                 "\"ServerURL\"=\"127.0.0.1\"", "\"ServerPort\"=\"${PORT}\""};
// The Login and Close Frames the gateway sends with the usual registry
// (frames: @login, @close).
constexpr char kUsualLogin[] = "1\\x01\\x01\\x01\\x012\\x01\\x01RUN_KAVRO_REQUEST\\x0165\\x011\\x01\\x01";
constexpr char kClose[] = "2\\x01";
// Row 25 of a Request when the rows section does not give it, and the count
// of values when it gives none.
constexpr char kUsualRegistryInfo[] =
    "RegistryInfo=SOFTWARE\\\\Halvorn\\\\KAVRO3&EngineName=&ServerURL=127.0.0.1&ServerPort=${PORT}&"
    "ApplicationName=&UserName=&StartupFlags=65&ShutdownFlags=1&FilePath=&FileMode=1&SysDownPage=&"
    "HXLocation=&AdditionalValues=";
constexpr long kRegistryInfoRow = 25;
constexpr long kUsualCount = 26;
constexpr std::size_t kMaxNumberDigits = 6;

bool isNumber(const std::string& text, std::size_t maxDigits) {
  return !text.empty() && text.size() <= maxDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// Replaces every ${...} of `text`. A substitution may hold others, as in
// ${REPEAT:3:${DEAD1},}: the inner ones are replaced first.
bool substitute(const std::string& text, const Variables& variables, std::string* out, std::string* error);

// The NAME of one ${NAME} (already substituted inside) to its text.
bool substituteOne(const std::string& name, const Variables& variables, std::string* out,
                   std::string* error) {
  if (name.rfind("REPEAT:", 0) == 0) {
    std::size_t colon = name.find(':', 7);
    std::string count = name.substr(7, colon == std::string::npos ? 0 : colon - 7);
    if (colon == std::string::npos || !isNumber(count, 7)) {
      *error = "bad ${REPEAT:N:TEXT}: ${" + name + "}";
      return false;
    }
    std::string unit = name.substr(colon + 1);
    for (long i = std::stol(count); i > 0; --i) out->append(unit);
    return true;
  }
  auto found = variables.find(name);
  if (found == variables.end()) {
    *error = "${" + name + "} is not defined in this case";
    return false;
  }
  out->append(found->second);
  return true;
}

bool substitute(const std::string& text, const Variables& variables, std::string* out, std::string* error) {
  out->clear();
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t open = text.find("${", at);
    if (open == std::string::npos) {
      out->append(text, at, std::string::npos);
      break;
    }
    out->append(text, at, open - at);
    std::size_t close = open + 2;
    for (int depth = 1; close < text.size(); ++close) {
      if (text.compare(close, 2, "${") == 0) {
        ++depth;
        ++close;
      } else if (text[close] == '}' && --depth == 0) {
        break;
      }
    }
    if (close >= text.size()) {
      *error = "unterminated ${ in: " + text;
      return false;
    }
    std::string name;
    if (!substitute(text.substr(open + 2, close - open - 2), variables, &name, error) ||
        !substituteOne(name, variables, out, error))
      return false;
    at = close + 1;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(const std::string& text, std::string* out, std::string* error) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (i + 1 >= text.size()) {
      *error = "backslash at the end of: " + text;
      return false;
    }
    char c = text[++i];
    switch (c) {
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case '0': *out += '\0'; break;
      case '\\': *out += '\\'; break;
      case 'x': {
        int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          *error = "\\x needs two hexadecimal digits in: " + text;
          return false;
        }
        *out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: *error = std::string("unknown escape \\") + c + " in: " + text; return false;
    }
  }
  return true;
}

// Turns the lines of one case into bytes: substitutions, then escapes unless
// `raw`. The first failure is kept, with the file and line.
class Expander {
 public:
  Expander(const CaseFile& file, const Variables& variables) : file_(file), variables_(variables) {}

  bool line(int number, const std::string& text, bool raw, std::string* out) {
    std::string substituted, problem;
    if (!substitute(text, variables_, &substituted, &problem) ||
        (!raw && !unescape(substituted, out, &problem)))
      return fail(number, problem);
    if (raw) *out = substituted;
    return true;
  }
  bool line(const Line& line, bool raw, std::string* out) {
    return this->line(line.number, line.text, raw, out);
  }

  // The section's lines joined by `separator`.
  bool joined(const Section& section, bool raw, const std::string& separator, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < section.lines.size(); ++i) {
      std::string bytes;
      if (!line(section.lines[i], raw, &bytes)) return false;
      if (i > 0) *out += separator;
      *out += bytes;
    }
    return true;
  }

  // Every line that is not empty, on its own.
  bool each(const Section& section, bool raw, std::vector<std::string>* out) {
    for (const Line& text : section.lines) {
      if (text.text.empty()) continue;
      out->emplace_back();
      if (!line(text, raw, &out->back())) return false;
    }
    return true;
  }

  bool fail(int number, const std::string& problem) {
    error_ = file_.where(number) + problem;
    return false;
  }
  const std::string& error() const { return error_; }

 private:
  const CaseFile& file_;
  const Variables& variables_;
  std::string error_;
};

bool insideTempDir(const std::string& name) {
  fs::path path(name);
  return !name.empty() && path.is_relative() &&
         std::none_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
}

bool expandRegistry(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  const Section* section = file.find("registry");
  if (section != nullptr && section->argument == "none") {
    if (!section->lines.empty()) return expand->fail(section->number, "'registry none' takes no lines");
    return true;
  }
  if (section == nullptr && file.find("engine") == nullptr)
    return expand->fail(1,
                        "the usual registry names the engine's port: give an engine, or a registry "
                        "section ('%% registry none' for no settings file)");
  Section text;
  if (section == nullptr || section->argument == "+") {
    for (const std::string& line : kUsualRegistry) text.lines.push_back(Line{0, line});
  }
  if (section != nullptr) text.lines.insert(text.lines.end(), section->lines.begin(), section->lines.end());
  out->hasRegistry = true;
  return expand->joined(text, true, "\n", &out->registry);
}

bool expandFiles(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  for (const Section& section : file.sections) {
    if (section.name != "file") continue;
    std::string name, bytes;
    if (!expand->line(section.number, section.argument, true, &name)) return false;
    if (!insideTempDir(name))
      return expand->fail(section.number, "a file section needs a name inside the temp dir");
    if (!expand->joined(section, false, "", &bytes)) return false;
    out->files.emplace_back(name, bytes);
  }
  return true;
}

bool expandEnv(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  const Section* section = file.find("env");
  if (section == nullptr) return true;
  for (const Line& line : section->lines) {
    if (line.text.empty()) continue;
    std::string item;
    if (!expand->line(line, false, &item)) return false;
    if (item.find('=') == std::string::npos || item.find('\0') != std::string::npos)
      return expand->fail(line.number, "an env line is NAME=VALUE without zero bytes");
    std::string name = item.substr(0, item.find('='));
    if (runnerVariable(name)) return expand->fail(line.number, name + " is set by the runner");
    out->env.push_back(item);
  }
  return true;
}

// "exchange BODY": the Login read and accepted, the Request read and
// answered with status 0 and BODY, the Close read and answered.
void addExchange(const std::string& body, std::vector<EngineStep>* script) {
  for (const std::string& reply :
       {std::string("0\x01\x01"), "0\x01" + body + "\x01", std::string("0\x01\x01")}) {
    script->push_back(EngineStep{EngineStep::kRecv, "", 0});
    script->push_back(EngineStep{EngineStep::kFrame, reply, 0});
  }
}

bool expandScript(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  const Section* section = file.find("engine");
  if (section == nullptr) return true;
  for (const Line& line : section->lines) {
    if (line.text.empty()) continue;
    std::size_t blank = line.text.find(' ');
    std::string command = line.text.substr(0, blank), argument, problem;
    if (blank != std::string::npos &&
        !expand->line(line.number, line.text.substr(blank + 1), false, &argument))
      return false;
    if (command == "exchange") {
      addExchange(argument, &out->script);
      continue;
    }
    EngineStep step;
    if (!parseEngineStep(command, argument, &step, &problem)) return expand->fail(line.number, problem);
    out->script.push_back(std::move(step));
  }
  return true;
}

bool expandOutcome(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  if (const Section* in = file.find("stdin"); in != nullptr && !expand->joined(*in, false, "", &out->input))
    return false;
  if (const Section* check = file.find("check")) {
    out->runsCheck = true;
    if (!expand->each(*check, false, &out->checkArguments)) return false;
  }
  if (!expand->joined(*file.find("stdout"), false, "", &out->output)) return false;
  if (const Section* errors = file.find("stderr")) {
    out->checksErrors = true;
    if (!expand->joined(*errors, false, "", &out->errors)) return false;
  }
  if (const Section* exit = file.find("exit")) {
    std::string text;
    if (!expand->joined(*exit, false, "", &text)) return false;
    if (!isNumber(text, 3)) return expand->fail(exit->number, "the exit section holds one number");
    out->exit = std::stoi(text);
  }
  return true;
}

// The Request message of `rows`: "3" 0x01, every value followed by 0xFE,
// 0x01.
// The value of the variable `name` in `env`, or empty when it is unset.
std::string envValue(const std::vector<std::string>& env, const char* name) {
  std::string prefix = std::string(name) + "=";
  for (const std::string& item : env)
    if (item.rfind(prefix, 0) == 0) return item.substr(prefix.size());
  return "";
}

bool expectedRequest(const Section& rows, const std::vector<std::string>& env, Expander* expand,
                     std::string* message) {
  long count = kUsualCount;
  std::map<long, std::string> values;
  for (const Line& line : rows.lines) {
    if (line.text.empty()) continue;
    std::size_t equals = line.text.find('=');
    std::string key = line.text.substr(0, equals), value;
    if (equals == std::string::npos || (key != "count" && !isNumber(key, kMaxNumberDigits)))
      return expand->fail(line.number, "expected count=N or ROW=VALUE");
    if (!expand->line(line.number, line.text.substr(equals + 1), false, &value)) return false;
    if (key == "count") {
      if (!isNumber(value, kMaxNumberDigits)) return expand->fail(line.number, "count must be a number");
      count = std::stol(value);
    } else if (!values.emplace(std::stol(key), value).second) {
      return expand->fail(line.number, "row " + key + " given twice");
    }
  }
  if (count > kRegistryInfoRow && values.count(kRegistryInfoRow) == 0 &&
      !expand->line(rows.number, kUsualRegistryInfo, false, &values[kRegistryInfoRow]))
    return false;
  if (!values.empty() && values.rbegin()->first >= count)
    return expand->fail(rows.number, "row " + std::to_string(values.rbegin()->first) + " is beyond count");
  *message = "3\x01";
  for (long i = 0; i < count; ++i) {
    auto found = values.find(i);
    if (found != values.end()) {
      *message += found->second;
    } else if (i > 0 && i < kRegistryInfoRow) {
      // A CGI row not given is the variable as the case sets it.
      *message += envValue(env, wire::kCgiRowNames[i]);
    }
    *message += wire::kValueSeparator;
  }
  *message += '\x01';
  return true;
}

// Whether a frames section, this platform's or another's, has a @request.
bool requestsAnywhere(const CaseFile& file) {
  for (const Section& section : file.sections)
    if (section.name == "frames")
      for (const Line& line : section.lines)
        if (line.text == "@request") return true;
  return false;
}

bool expandFrames(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  const Section* frames = file.find("frames");
  const Section* rows = file.find("rows");
  if (rows != nullptr && !requestsAnywhere(file))
    return expand->fail(rows->number, "a rows section is used only through @request");
  if (frames == nullptr) return true;
  if (file.find("engine") == nullptr) return expand->fail(frames->number, "a frames section needs an engine");
  out->checksFrames = true;
  for (const Line& line : frames->lines) {
    if (line.text.empty()) continue;
    std::string frame;
    bool request = line.text == "@request";
    if (request && rows == nullptr) return expand->fail(line.number, "@request needs a rows section");
    const std::string text = line.text == "@login" ? kUsualLogin : line.text == "@close" ? kClose : line.text;
    if (request ? !expectedRequest(*rows, out->env, expand, &frame)
                : !expand->line(line.number, text, false, &frame))
      return false;
    out->frames.push_back(frame);
    out->isRequest.push_back(request);
  }
  return true;
}

bool expandLeft(const CaseFile& file, Expander* expand, ExpandedCase* out) {
  const Section* left = file.find("left");
  if (left == nullptr) return true;
  out->checksLeft = true;
  if (!expand->line(left->number, left->argument, true, &out->leftDir)) return false;
  if (!insideTempDir(out->leftDir))
    return expand->fail(left->number, "a left section needs a directory inside the temp dir");
  return expand->each(*left, true, &out->leftPatterns);
}

}  // namespace

bool enginePort(const Section& engine, std::uint16_t* port) {
  const std::string& text = engine.argument.empty() ? "0" : engine.argument;
  if (!isNumber(text, 5) || std::stol(text) > 65535) return false;
  *port = static_cast<std::uint16_t>(std::stol(text));
  return true;
}

bool expandCase(const CaseFile& file, const Variables& variables, ExpandedCase* out, std::string* error) {
  Expander expand(file, variables);
  bool expanded = expandRegistry(file, &expand, out) && expandFiles(file, &expand, out) &&
                  expandEnv(file, &expand, out) && expandScript(file, &expand, out) &&
                  expandOutcome(file, &expand, out) && expandFrames(file, &expand, out) &&
                  expandLeft(file, &expand, out);
  if (!expanded) *error = expand.error();
  return expanded;
}

}  // namespace kavro::test
