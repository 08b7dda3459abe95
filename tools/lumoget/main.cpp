// lumoget: a small host program for the downloader module. It loads the module like a launcher,
// queues the files given on the command line, shows progress and prints the outcome.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "command_line.h"
#include "host_platform.h"
#include "job_outcome.h"
#include "lumo/lumo_downloader.h"
#include "module_host.h"
#include "progress_display.h"

namespace lumoget {
namespace {

namespace fs = std::filesystem;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDiskHalt = 3;
constexpr int kExitInterrupted = 130;
constexpr auto kPollInterval = std::chrono::milliseconds(200);
constexpr int64_t kPlainIntervalMs = 2000;

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::basic_string<LumoWChar> ToLumoWide(const std::string& utf8) {
  const std::u16string wide = fs::u8path(utf8).u16string();
  return std::basic_string<LumoWChar>(wide.begin(), wide.end());
}

std::string Hex(int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// An absolute directory without a trailing separator (unless it is a root).
std::string AbsoluteDir(const std::string& dir) {
  std::error_code error;
  fs::path path = fs::absolute(fs::u8path(dir.empty() ? "." : dir), error).lexically_normal();
  std::string text = path.u8string();
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\') &&
         !(text.size() == 3 && text[1] == ':')) {
    text.pop_back();
  }
  return text;
}

// Beside the program, as a launcher keeps it; else in ../lib, where an install on Linux puts it.
std::string DefaultModulePath(const std::string& exeDir) {
  const std::string beside = exeDir + kSeparator + kModuleFileName;
  const std::string installed = exeDir + kSeparator + ".." + kSeparator + "lib" + kSeparator +
                                kModuleFileName;
  std::error_code error;
  if (!fs::exists(fs::u8path(beside), error) && fs::exists(fs::u8path(installed), error)) {
    return installed;
  }
  return beside;
}

void SetTextOption(ILumoDownloader* downloader, int32_t id, const std::string& text) {
  downloader->SetOption(id, text.data(), static_cast<uint32_t>(text.size()));
}

ProgressSnapshot TakeSnapshot(ILumoDownloader* downloader, size_t jobCount) {
  ProgressSnapshot snapshot;
  std::string path;
  LumoString pathText = LumoStringFor(path);
  downloader->GetProgress(&snapshot.runState, &snapshot.bytes, &snapshot.averageSpeed,
                          &snapshot.currentSpeed, &pathText);
  DownloadStatus status{};
  downloader->GetStatistics(&status);
  snapshot.total = static_cast<uint64_t>(status.words[kLumoWordTotalHigh]) << 32 |
                   status.words[kLumoWordTotalLow];
  snapshot.filesStarted = status.words[kLumoWordRecordCount];
  snapshot.filesUnfinished = status.words[kLumoWordUnfinishedCount];
  snapshot.currentPath = path;
  snapshot.jobCount = jobCount;
  return snapshot;
}

int Run(const Settings& settings) {
  const std::string exeDir = ExecutableDir();
  const std::string modulePath =
      settings.modulePath.empty() ? DefaultModulePath(exeDir) : settings.modulePath;

  std::vector<std::string> saveDirs;
  for (const auto& job : settings.jobs) {
    saveDirs.push_back(AbsoluteDir(job.dir));
    std::error_code error;
    fs::create_directories(fs::u8path(saveDirs.back()), error);
    if (error) {
      std::cerr << "lumoget: cannot create " << saveDirs.back() << ": " << error.message()
                << "\n";
      return kExitUsage;
    }
  }

  ModuleHost host;
  std::string error;
  if (!host.Load(modulePath, error)) {
    std::cerr << "lumoget: cannot load " << modulePath << ": " << error << "\n";
    return kExitUsage;
  }
  std::string initText;
  const int32_t initCode = host.Init(initText);
  if (initCode < 0) {
    std::cerr << "lumoget: mod_lumoinit failed with " << Hex(initCode)
              << (initText.empty() ? "" : ": " + initText) << "\n";
    return kExitUsage;
  }
  DownloaderRef downloader;
  const int32_t objectCode = host.GetDownloader(downloader.Slot());
  if (objectCode < 0 || !downloader) {
    std::cerr << "lumoget: mod_lumogetobject failed with " << Hex(objectCode) << "\n";
    host.Term();
    return kExitUsage;
  }

  if (!settings.sid.empty()) SetTextOption(downloader.operator->(), kLumoOptionSid, settings.sid);
  if (!settings.game.empty()) {
    SetTextOption(downloader.operator->(), kLumoOptionGameCode, settings.game);
  }
  if (!settings.clientVersion.empty()) {
    SetTextOption(downloader.operator->(), kLumoOptionClientVersion, settings.clientVersion);
  }
  if (settings.maxSpeedSet) {
    const uint32_t speed = settings.maxSpeed;
    downloader->SetOption(kLumoOptionMaxSpeed, &speed, sizeof speed);
  }

  size_t queued = 0;
  std::vector<bool> refused(settings.jobs.size(), false);
  for (size_t i = 0; i < settings.jobs.size(); ++i) {
    const JobSpec& job = settings.jobs[i];
    std::vector<const char*> urls;
    for (const auto& url : job.urls) urls.push_back(url.c_str());
    std::vector<const char*> checksumUrls;
    for (const auto& url : job.checksumUrls) checksumUrls.push_back(url.c_str());
    const auto saveDir = ToLumoWide(saveDirs[i]);
    const auto name = ToLumoWide(job.name);
    const int32_t code = downloader->AddDownload(
        urls.data(), static_cast<uint32_t>(urls.size()), saveDir.c_str(),
        job.name.empty() ? nullptr : name.c_str(),
        checksumUrls.empty() ? nullptr : checksumUrls.data(),
        static_cast<uint32_t>(checksumUrls.size()),
        job.checksumMd5.empty() ? nullptr : job.checksumMd5.c_str());
    if (code < 0) {
      std::cerr << "lumoget: the module refused " << job.urls.front() << " (" << Hex(code)
                << ")\n";
      refused[i] = true;
    } else {
      ++queued;
    }
  }

  WatchInterrupts();
  const auto started = std::chrono::steady_clock::now();
  const int32_t startCode = queued > 0 ? downloader->Start() : 0;
  if (startCode < 0) std::cerr << "lumoget: Start failed with " << Hex(startCode) << "\n";

  const bool terminal = !settings.quiet && StdoutIsTerminal();
  ProgressView view(std::cout, terminal, TerminalColumns(), kPlainIntervalMs);
  bool interrupted = false;
  ProgressSnapshot snapshot;
  while (queued > 0 && startCode >= 0) {
    snapshot = TakeSnapshot(downloader.operator->(), settings.jobs.size());
    const int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - started)
                                  .count();
    if (InterruptCount() > 0) {
      interrupted = true;
      snapshot.stopping = true;
    }
    if (!settings.quiet) view.Update(snapshot, elapsedMs);
    if (interrupted || IsDiskHalt(snapshot.runState) ||
        snapshot.runState == kLumoRunStateIdle) {
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  view.Finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // Stop aborts a transfer that still runs (its partial file stays for the next run) and lets
  // the worker thread end, so the release below does not wait for it.
  downloader->Stop(0);
  std::string completedList;
  LumoString completedText = LumoStringFor(completedList);
  downloader->GetCompletedFiles(&completedText);
  const ProgressSnapshot last = TakeSnapshot(downloader.operator->(), settings.jobs.size());

  const std::vector<std::string> completed = SplitCompleted(completedList);
  std::vector<JobOutcome> outcomes;
  ILumoFileResults* results = nullptr;
  if (downloader->QueryInterface(&IID_ILumoFileResults, reinterpret_cast<void**>(&results)) >= 0) {
    outcomes = CollectOutcomes(results);
    results->Release();
  }
  for (size_t i = 0; i < settings.jobs.size(); ++i) {
    if (!refused[i]) continue;
    JobOutcome outcome;
    outcome.path = settings.jobs[i].urls.front();
    outcome.message = "refused by the module";
    outcomes.push_back(outcome);
  }

  std::cout << "Completed files (" << completed.size() << "):\n";
  for (const auto& path : completed) std::cout << "  " << path << "\n";
  size_t failed = 0;
  for (const auto& outcome : outcomes) {
    if (outcome.completed) continue;
    if (++failed == 1) std::cout << "Not downloaded:\n";
    std::cout << "  " << outcome.path << ": " << outcome.message;
    if (outcome.attempts > 0) std::cout << " (" << outcome.attempts << " attempts)";
    std::cout << "\n";
  }
  downloader.Reset();
  host.Term();
  char summary[160];
  std::snprintf(summary, sizeof summary, "%zu of %zu files in %.1f s, %s received",
                outcomes.size() - failed, outcomes.size(), seconds,
                FormatBytes(last.bytes).c_str());
  std::cout << summary << "\n";

  if (interrupted) {
    std::cout << "Interrupted: partial files are kept and resumed by the next run.\n";
    return kExitInterrupted;
  }
  if (IsDiskHalt(snapshot.runState)) {
    std::cout << "The downloader " << RunStateText(snapshot.runState, false)
              << ". Free space or repair the disk, then run lumoget again.\n";
    return kExitDiskHalt;
  }
  return failed == 0 && startCode >= 0 ? 0 : kExitFailed;
}

}  // namespace
}  // namespace lumoget

int main(int argc, char** argv) {
  try {
    lumoget::PrepareConsole();
    const lumoget::CommandLine commandLine =
        lumoget::ParseCommandLine(lumoget::Utf8Arguments(argc, argv));
    if (commandLine.exitCode >= 0) {
      std::cout << commandLine.out;
      std::cerr << commandLine.err;
      return commandLine.exitCode;
    }
    return lumoget::Run(commandLine.settings);
  } catch (const std::exception& e) {
    std::cerr << "lumoget: " << e.what() << "\n";
    return lumoget::kExitFailed;
  }
}
