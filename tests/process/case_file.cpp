#include "tests/process/case_file.h"

#include <algorithm>
#include <fstream>

#include "tests/process/gateway_run.h"

namespace kavro::test {
namespace {

// stdout, exit, frames and rows may be given once more for one platform.
bool hasPlatformVariant(const std::string& name) {
  return name == "stdout" || name == "exit" || name == "frames" || name == "rows";
}

bool knownPlatform(const std::string& name) {
  return name == "posix" || name == "windows" || name == "fastcgi";
}

bool knownSection(const std::string& name) {
  static const char* const kNames[] = {"title",  "env",  "registry", "file", "stdin", "engine", "stdout",
                                       "stderr", "exit", "frames",   "rows", "check", "left",   "shell"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

// `file` is the only section that may repeat, but for the expectations
// given once more for a platform.
bool repeatedSection(const CaseFile& file, const Section& section) {
  if (section.name == "file") return false;
  for (const Section& other : file.sections)
    if (other.name == section.name && other.argument == section.argument) return true;
  return !hasPlatformVariant(section.name) && file.find(section.name) != nullptr;
}

bool checkHeader(const CaseFile& file, const Section& section, std::string* error) {
  std::string at = "line " + std::to_string(section.number) + ": ";
  if (!knownSection(section.name)) {
    *error = at + "unknown section '" + section.name + "'";
  } else if (hasPlatformVariant(section.name) && !section.argument.empty() &&
             !knownPlatform(section.argument)) {
    *error = at + "'" + section.argument + "' is not a platform";
  } else if (section.name == "registry" && section.argument != "" && section.argument != "+" &&
             section.argument != "none") {
    *error = at + "a registry section takes '+', 'none' or nothing";
  } else if (repeatedSection(file, section)) {
    *error = at + "section '" + section.name + "' appears twice";
  }
  return error->empty();
}

Section parseHeader(const std::string& text, int number) {
  Section section;
  std::string header = text.substr(2);
  std::size_t start = header.find_first_not_of(' ');
  header = start == std::string::npos ? "" : header.substr(start);
  std::size_t blank = header.find(' ');
  section.name = header.substr(0, blank);
  if (blank != std::string::npos) section.argument = header.substr(blank + 1);
  section.number = number;
  return section;
}

std::vector<std::string> texts(const Section& section) {
  std::vector<std::string> lines;
  for (const Line& line : section.lines) lines.push_back(line.text);
  return lines;
}

// A platform's section that says what the plain one says is a copy to keep
// in step for nothing.
bool checkVariants(const CaseFile& file, std::string* error) {
  for (const Section& variant : file.sections) {
    if (variant.argument.empty() || !hasPlatformVariant(variant.name)) continue;
    for (const Section& plain : file.sections)
      if (plain.name == variant.name && plain.argument.empty() && texts(plain) == texts(variant)) {
        *error = "line " + std::to_string(variant.number) + ": the same as the plain '" + plain.name + "'";
        return false;
      }
  }
  return true;
}

}  // namespace

const Section* CaseFile::find(const std::string& name) const {
  const Section* plain = nullptr;
  for (const Section& section : sections) {
    if (section.name != name) continue;
    if (section.argument == gatewayPlatform()) return &section;
    if (section.argument.empty() || !hasPlatformVariant(name)) plain = plain ? plain : &section;
  }
  return plain;
}

std::string CaseFile::where(int number) const {
  return path.filename().string() + ":" + std::to_string(number) + ": ";
}

bool readCase(const std::filesystem::path& path, CaseFile* file, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path.string();
    return false;
  }
  file->path = path;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.rfind("%%", 0) == 0) {
      Section section = parseHeader(text, number);
      if (!checkHeader(*file, section, error)) return false;
      file->sections.push_back(std::move(section));
    } else if (!text.empty() && text[0] == '#') {
      continue;
    } else if (!file->sections.empty()) {
      file->sections.back().lines.push_back(Line{number, text});
    } else if (!text.empty()) {
      *error = "line " + std::to_string(number) + ": text before the first section";
      return false;
    }
  }
  if (file->find("title") == nullptr || file->find("stdout") == nullptr) {
    *error = "a case needs a 'title' and a 'stdout' section";
    return false;
  }
  return checkVariants(*file, error);
}

}  // namespace kavro::test
