// The .case files of tests/data, read into their sections; the format is
// tests/data/README.md's.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kavro::test {

struct Line {
  int number = 0;
  std::string text;
};

struct Section {
  std::string name;
  std::string argument;
  int number = 0;  // line of the "%%" header
  std::vector<Line> lines;
};

struct CaseFile {
  std::filesystem::path path;
  std::vector<Section> sections;

  // The section for the platform under test when the case has one, else the
  // plain one.
  const Section* find(const std::string& name) const;
  // "NAME:LINE: ", for messages.
  std::string where(int number) const;
};

// Reads and checks the shape of a case: known sections, none given twice, a
// title and a stdout. False with the reason otherwise.
bool readCase(const std::filesystem::path& path, CaseFile* file, std::string* error);

}  // namespace kavro::test
