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
    "usage: kavro3-check [--registry FILE] [--user USER] [--connect [--timeout SECONDS]]\n"
    "                    [--spool [--workdir DIR]] [--brief | --json] [SCRIPT_NAME | URL]\n"
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
    "                   gateway's own texts for each outcome, each line as it happens\n"
    "  --timeout N      without EngineTimeout, give up each wait of --connect after N seconds\n"
    "                   (default 10; the gateway itself would wait for ever)\n"
    "  --spool          check that FilePath's directory exists and that the user may create files in it\n"
    "  --workdir DIR    the gateway's working directory, which an empty or relative FilePath counts\n"
    "                   from (default: the gateway's own directory, where the guides' web servers\n"
    "                   start it)\n"
    "  --brief          print only the problems found, the spool and connect checks, and the result\n"
    "  --json           print the report as JSON\n"
    "\n"
    "Exit status: 0 no problem found, 1 warnings only, 2 errors, 3 bad usage.\n";

void write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kavro3-check: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kUsageStatus;
}

// The option that takes a value, `value`, into `options`: false with
// `problem` set when it cannot be used.
bool takeValue(const std::string& option, const std::string& value, kavro::check::Options* options,
               std::string* problem) {
  if (option == "--user") {
    options->user = value;
  } else if (option == "--workdir") {
    options->workdir = value;
  } else if (option == "--timeout") {
    if (value.find_first_not_of("0123456789") != std::string::npos || value.size() > 6 || value == "0") {
      *problem = "--timeout needs a number of seconds from 1 to 999999";
      return false;
    }
    options->timeoutSeconds = std::stoi(value);
  } else {
    kavro::check::useSettingsFile(value.c_str());
  }
  return true;
}

// The command line into `options`: -1 to go on, or the status to exit with.
int parseArguments(int argc, char** argv, kavro::check::Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i], problem;
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "--connect" || argument == "--spool" || argument == "--json" ||
               argument == "--brief") {
      (argument == "--connect" ? options->connect
       : argument == "--spool" ? options->spool
       : argument == "--json"  ? options->json
                               : options->brief) = true;
    } else if (argument == "--registry" || argument == "--user" || argument == "--timeout" ||
               argument == "--workdir") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return usage((argument + " needs a value").c_str());
      if (!takeValue(argument, argv[++i], options, &problem)) return usage(problem.c_str());
    } else if (argument.size() > 1 && argument[0] == '-') {
      return usage(("unknown option " + argument).c_str());
    } else if (options->scriptNameSet) {
      return usage("give one SCRIPT_NAME or URL");
    } else {
      options->scriptNameSet = true;
      options->target = argument;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  kavro::check::Options options;
  if (int status = parseArguments(argc, argv, &options); status >= 0) return status;

  kavro::platform::processInit();
  kavro::check::Report report;
  std::string error;
  if (!kavro::check::inspect(options, &report, &error)) return usage(error.c_str());
  std::string out;
  if (options.json) {
    if (options.connect) kavro::check::inspectConnect(options, &report);
    kavro::check::printJson(report, &out);
    write(out);
    return report.status();
  }
  // What is known is shown at once, then each line of the connect check as
  // it happens: a stalled engine shows where it stalls.
  kavro::check::printText(report, options.brief, &out);
  write(out);
  if (options.connect) {
    write("connect:\n");
    options.progress = write;
    kavro::check::inspectConnect(options, &report);
  }
  write(kavro::check::printTextEnd(report));
  return report.status();
}
