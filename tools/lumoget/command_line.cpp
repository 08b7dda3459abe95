#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/file_name.h"

#ifndef LUMOGET_VERSION
#define LUMOGET_VERSION "0"
#endif

namespace lumoget {
namespace {

constexpr int kUsageError = 2;

const char kFooter[] =
    "Input file (-i): one job a line, the mirror URLs of one file separated by spaces, with\n"
    "optional dir=DIR, out=NAME, checksum-url=URL (repeatable) and checksum-md5=HEX; lines\n"
    "starting with # are comments. -i - reads standard input.\n"
    "\n"
    "Exit status: 0 every file downloaded; 1 some file failed; 2 usage error or the module\n"
    "could not be loaded; 3 the downloader paused on a full or failing disk; 130 interrupted.\n"
    "Ctrl-C stops cleanly: partial files are kept and resumed by the next run.";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsHttpUrl(const std::string& url) {
  const std::string lower = Lower(url);
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix = scheme;
    if (lower.compare(0, prefix.size(), prefix) == 0 && lower.size() > prefix.size()) return true;
  }
  return false;
}

bool IsMd5Text(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isxdigit(c) != 0;
         });
}

// A job is usable when its URLs are web addresses and its checksum settings come in pairs.
bool CheckJob(const JobSpec& job, std::string& error) {
  if (job.urls.empty()) {
    error = "a job needs at least one URL";
    return false;
  }
  for (const auto& url : job.urls) {
    if (!IsHttpUrl(url)) {
      error = "not an http:// or https:// URL: " + url;
      return false;
    }
  }
  for (const auto& url : job.checksumUrls) {
    if (!IsHttpUrl(url)) {
      error = "not an http:// or https:// checksum URL: " + url;
      return false;
    }
  }
  if (job.checksumUrls.empty() != job.checksumMd5.empty()) {
    error = "--checksum-url and --checksum-md5 go together";
    return false;
  }
  if (!job.checksumMd5.empty() && !IsMd5Text(job.checksumMd5)) {
    error = "the checksum MD5 must be 32 hexadecimal digits: " + job.checksumMd5;
    return false;
  }
  if (job.name.find_first_of("/\\") != std::string::npos) {
    error = "the output name must not contain a directory: " + job.name;
    return false;
  }
  return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::string JobFileName(const JobSpec& job) {
  if (!job.name.empty()) return job.name;
  return lumo::FileNameFromUrl(job.urls.empty() ? std::string() : job.urls.front());
}

bool ParseInputFile(std::istream& in, const std::string& defaultDir, std::vector<JobSpec>& jobs,
                    std::string& error) {
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string word;
    JobSpec job;
    job.dir = defaultDir;
    bool any = false;
    while (words >> word) {
      if (!any && word[0] == '#') break;
      any = true;
      if (StartsWith(word, "dir=")) {
        job.dir = word.substr(4);
      } else if (StartsWith(word, "out=")) {
        job.name = word.substr(4);
      } else if (StartsWith(word, "checksum-url=")) {
        job.checksumUrls.push_back(word.substr(13));
      } else if (StartsWith(word, "checksum-md5=")) {
        job.checksumMd5 = word.substr(13);
      } else {
        job.urls.push_back(word);
      }
    }
    if (!any) continue;
    if (!CheckJob(job, error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return false;
    }
    jobs.push_back(job);
  }
  return true;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  Settings& settings = result.settings;
  JobSpec job;
  std::string inputFile;
  uint64_t maxSpeed = 0;

  CLI::App app{"Downloads files through the lumodownload module, the way a game launcher does.",
               "lumoget"};
  app.set_version_flag("--version", "lumoget " LUMOGET_VERSION);
  app.add_option("urls", job.urls, "Mirror URLs of one file, tried in this order");
  app.add_option("-d,--dir", job.dir, "Save directory (default: the current directory)");
  app.add_option("-o,--output", job.name, "File name (default: from the first URL)");
  app.add_option("--checksum-url", job.checksumUrls,
                 "URL of the file's checksum file (md5sum format); repeatable")
      ->allow_extra_args(false);
  app.add_option("--checksum-md5", job.checksumMd5, "Expected MD5 of the checksum file (hex)");
  app.add_option("-i,--input-file", inputFile, "Read jobs from FILE (one job a line)");
  app.add_option("--sid", settings.sid, "Session id reported with telemetry");
  app.add_option("--game", settings.game, "Game code (telemetry, preferred CDN domain)");
  app.add_option("--client-version", settings.clientVersion, "Client version for telemetry");
  app.add_option("--max-speed", maxSpeed, "Speed limit in bytes per second (K, M suffixes)")
      ->transform(CLI::AsSizeValue(false));
  app.add_option("--module", settings.modulePath,
                 "Module library to load (default: the one beside this program)");
  app.add_flag("-q,--quiet", settings.quiet, "No progress display");
  app.footer(kFooter);

  std::ostringstream out;
  std::ostringstream err;
  auto finish = [&](int code) {
    result.exitCode = code;
    result.out = out.str();
    result.err = err.str();
    return result;
  };
  try {
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    if (!reversed.empty()) reversed.pop_back();  // the program name
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    return finish(code == 0 ? 0 : kUsageError);
  }
  auto usage = [&](const std::string& message) {
    err << "lumoget: " << message << "\nRun with --help for more information.\n";
    return finish(kUsageError);
  };

  if (maxSpeed > std::numeric_limits<uint32_t>::max()) {
    return usage("--max-speed is at most 4294967295 bytes per second");
  }
  settings.maxSpeed = static_cast<uint32_t>(maxSpeed);
  settings.maxSpeedSet = app.count("--max-speed") > 0;

  if (!job.urls.empty()) {
    std::string error;
    if (!CheckJob(job, error)) return usage(error);
    settings.jobs.push_back(job);
  } else if (!job.name.empty() || !job.checksumUrls.empty() || !job.checksumMd5.empty()) {
    return usage("-o, --checksum-url and --checksum-md5 describe the URLs given on the command line");
  }
  if (!inputFile.empty()) {
    std::string error;
    bool parsed = false;
    if (inputFile == "-") {
      parsed = ParseInputFile(std::cin, job.dir, settings.jobs, error);
    } else {
      std::ifstream in(std::filesystem::u8path(inputFile), std::ios::binary);
      if (!in) return usage("cannot read the input file " + inputFile);
      parsed = ParseInputFile(in, job.dir, settings.jobs, error);
    }
    if (!parsed) return usage(inputFile + ": " + error);
  }
  if (settings.jobs.empty()) return usage("no URLs given");
  return finish(-1);
}

}  // namespace lumoget
