// kavro3-check: shows which settings key and values the gateway uses for a
// SCRIPT_NAME or a URL, and where each value comes from; lists the lines of
// the settings file that count for nothing; with --connect logs in to the
// Engine Servers as the gateway would; with --spool checks that the user the
// web server runs the gateway as may create the spooled files.
//
// Exit status: 0 no problem found, 1 warnings only, 2 errors, 3 bad usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/check/check.h"
#include "tools/check/system.h"

namespace {

constexpr int kUsageStatus = 3;

constexpr char kUsage[] =
    "usage: kavro3-check [--registry FILE] [--user USER] [--connect] [--spool] [--brief | --json]\n"
    "                    [SCRIPT_NAME | URL]\n"
    "\n"
    "Shows what the KAVRO3 gateway does for a request whose SCRIPT_NAME is the one given (or the path of\n"
    "the URL given; neither: SCRIPT_NAME unset): the settings file it reads and the lines it skips, the\n"
    "key it uses and why, every setting with its source, the RegistryInfo the engine receives, the\n"
    "Engine Servers in the order they are tried, the outage page and the spool directory.\n"
    "\n"
    "  --registry FILE  read FILE instead of $KAVRO3_REGISTRY or /etc/kavro3/kavro3.reg\n"
    "  --user USER      judge file permissions for USER (the web server's user, www-data on Debian)\n"
    "                   instead of the user running the check\n"
    "  --connect        connect to the Engine Servers in the gateway's order and log in, with the\n"
    "                   gateway's own texts for each outcome\n"
    "  --spool          check that FilePath's directory exists and that the user may create files in it\n"
    "  --brief          print only the problems found, the spool and connect checks, and the result\n"
    "  --json           print the report as JSON\n"
    "\n"
    "Exit status: 0 no problem found, 1 warnings only, 2 errors, 3 bad usage.\n";

int usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kavro3-check: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
  kavro::check::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "--connect") {
      options.connect = true;
    } else if (argument == "--spool") {
      options.spool = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--brief") {
      options.brief = true;
    } else if (argument == "--registry" || argument == "--user") {
      if (i + 1 >= argc) return usage((argument + " needs a value").c_str());
      if (argument == "--user") {
        options.user = argv[++i];
        if (options.user.empty()) return usage("--user needs a name");
      } else {
        kavro::check::useSettingsFile(argv[++i]);
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      return usage(("unknown option " + argument).c_str());
    } else if (options.scriptNameSet) {
      return usage("give one SCRIPT_NAME or URL");
    } else {
      options.scriptNameSet = true;
      options.target = argument;
    }
  }

  kavro::platform::processInit();
  kavro::check::Report report;
  std::string error;
  if (!kavro::check::inspect(options, &report, &error)) return usage(error.c_str());
  std::string out;
  if (options.json) {
    kavro::check::printJson(report, &out);
  } else {
    kavro::check::printText(report, options.brief, &out);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return report.status();
}
