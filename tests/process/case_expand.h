// A case's sections turned into the bytes of one run: substitutions, then
// escapes, and the defaults a case leaves unsaid (tests/data/README.md).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/process/case_file.h"
#include "tests/process/fake_engine.h"

namespace kavro::test {

// ${NAME} to its text: TMP, PORT, DEAD1..3, STALLED.
using Variables = std::map<std::string, std::string>;

// Everything a case gives the run and expects of it.
struct ExpandedCase {
  bool hasRegistry = false;
  std::string registry;                                    // the .reg file's text
  std::vector<std::pair<std::string, std::string>> files;  // name under ${TMP}, bytes
  std::vector<std::string> env;
  std::string input;
  std::vector<EngineStep> script;  // played when the case has an engine
  bool runsCheck = false;          // kavro3-check instead of the gateway
  std::vector<std::string> checkArguments;

  std::string output;
  bool checksErrors = false;
  std::string errors;
  int exit = 0;
  bool checksFrames = false;
  std::vector<std::string> frames;
  std::vector<bool> isRequest;  // for each frame: a Request built from `rows`
  bool checksLeft = false;
  std::string leftDir;  // under ${TMP}
  std::vector<std::string> leftPatterns;
};

// The port the engine section asks for (0: an ephemeral one). False when it
// is no port number.
bool enginePort(const Section& engine, std::uint16_t* port);

// False, with the file, line and reason, for anything that cannot be
// expanded or breaks a rule of the format.
bool expandCase(const CaseFile& file, const Variables& variables, ExpandedCase* out, std::string* error);

}  // namespace kavro::test
