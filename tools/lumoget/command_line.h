// lumoget's command line and input file.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace lumoget {

// One file to download: its mirrors in order, where it goes, and its optional checksum file.
struct JobSpec {
  std::vector<std::string> urls;
  std::string dir;   // save directory as given ("" = the default directory)
  std::string name;  // file name as given ("" = derived from the first URL by the module)
  std::vector<std::string> checksumUrls;
  std::string checksumMd5;
};

struct Settings {
  std::vector<JobSpec> jobs;
  std::string sid;
  std::string game;
  std::string clientVersion;
  uint32_t maxSpeed = 0;  // bytes per second, 0 = unlimited
  bool maxSpeedSet = false;
  std::string modulePath;  // "" = the module beside this program
  bool quiet = false;      // no progress display
};

// Outcome of parsing: exitCode < 0 means "go on and download"; otherwise print out/err and
// exit with exitCode (help and version give 0, mistakes 2).
struct CommandLine {
  Settings settings;
  int exitCode = -1;
  std::string out;
  std::string err;
};

// arguments[0] is the program name, as in argv.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// Reads jobs from an input file: one job a line, mirror URLs separated by spaces, with optional
// dir=DIR, out=NAME, checksum-url=URL (repeatable) and checksum-md5=HEX; "#" starts a comment
// line. Jobs take defaultDir when they name no directory. False with a message naming the line.
bool ParseInputFile(std::istream& in, const std::string& defaultDir, std::vector<JobSpec>& jobs,
                    std::string& error);

// The name a job's file gets: its own, else the module's name for its first URL.
std::string JobFileName(const JobSpec& job);

}  // namespace lumoget
