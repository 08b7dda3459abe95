#include "e2e_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

namespace lumo::e2e {
::testing::AssertionResult SameFiles(const fs::path& actual, const fs::path& expected) {
  if (!fs::exists(actual)) return ::testing::AssertionFailure() << actual << " does not exist";
  const std::string a = ReadFile(actual);
  const std::string b = ReadFile(expected);
  if (a == b) return ::testing::AssertionSuccess();
  size_t first = 0;
  while (first < a.size() && first < b.size() && a[first] == b[first]) ++first;
  return ::testing::AssertionFailure()
         << actual << " has " << a.size() << " bytes, " << expected << " has " << b.size()
         << "; they differ from byte " << first;
}

std::string ManifestLine(const fs::path& file) {
  return Md5Hex(ReadFile(file)) + "  " + file.filename().string() + "\n";
}

std::unique_ptr<services::LocalServices> StartServices(const fs::path& root,
                                                       services::ServicesConfig* adjust) {
  services::ServicesConfig config = adjust ? *adjust : services::ServicesConfig();
  config.filesRoot = root.string();
  config.resolvedPort = 80;
  config.reportUrl = LUMO_E2E_REPORT_URL;
  config.cdnConfigUrl = LUMO_E2E_CDN_URL;
  config.httpDnsUrl = LUMO_E2E_DNS_URL;
  config.cdnHost = LUMO_E2E_CDN_HOST;
  config.log = [](const std::string& line) { std::cout << "  services: " << line << std::endl; };
  auto services = std::make_unique<services::LocalServices>(config);
  std::string error;
  if (!services->Start(&error)) {
    ADD_FAILURE() << "local services: " << error;
    return nullptr;
  }
  return services;
}

HostedModule::HostedModule(const std::string& binDir) {
  std::string error;
  if (!host_.Load(binDir + "/liblumodownload.so", error)) {
    ADD_FAILURE() << "cannot load the module from " << binDir << ": " << error;
    return;
  }
  std::string initText;
  const int32_t init = host_.Init(initText);
  if (init != 0) {
    ADD_FAILURE() << "mod_lumoinit returned " << init << ": " << initText;
    return;
  }
  const int32_t object = host_.GetDownloader(&downloader_);
  if (object != 0 || !downloader_) ADD_FAILURE() << "mod_lumogetobject returned " << object;
}

HostedModule::~HostedModule() {
  if (downloader_) Shutdown();
}

void HostedModule::SetText(int32_t id, const std::string& text) {
  EXPECT_EQ(downloader_->SetOption(id, text.data(), static_cast<uint32_t>(text.size())), 0);
}

int32_t HostedModule::Add(const std::vector<std::string>& urls, const fs::path& dir,
                          const std::string& name, const std::vector<std::string>& checksumUrls,
                          const std::string& checksumMd5) {
  std::vector<const char*> urlPointers;
  for (const auto& url : urls) urlPointers.push_back(url.c_str());
  std::vector<const char*> checksumPointers;
  for (const auto& url : checksumUrls) checksumPointers.push_back(url.c_str());
  const std::u16string saveDir = dir.u16string();
  const std::u16string fileName = fs::path(name).u16string();
  return downloader_->AddDownload(urlPointers.data(), static_cast<uint32_t>(urlPointers.size()),
                                  saveDir.c_str(), name.empty() ? nullptr : fileName.c_str(),
                                  checksumPointers.empty() ? nullptr : checksumPointers.data(),
                                  static_cast<uint32_t>(checksumPointers.size()),
                                  checksumMd5.empty() ? nullptr : checksumMd5.c_str());
}

uint32_t HostedModule::RunState() {
  uint32_t state = 0, average = 0, current = 0;
  uint64_t bytes = 0;
  downloader_->GetProgress(&state, &bytes, &average, &current, nullptr);
  return state;
}

DownloadStatus HostedModule::Status() {
  DownloadStatus status{};
  downloader_->GetStatistics(&status);
  return status;
}

std::vector<std::string> HostedModule::Completed() {
  std::string list;
  LumoString text = LumoStringFor(list);
  downloader_->GetCompletedFiles(&text);
  std::vector<std::string> paths;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    paths.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

bool HostedModule::PollUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    // The host's side of the interface is polling by design: there is nothing to wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::chrono::milliseconds HostedModule::Shutdown() {
  const auto started = std::chrono::steady_clock::now();
  if (downloader_) {
    downloader_->Stop(0);
    downloader_->Release();
    downloader_ = nullptr;
  }
  host_.Term();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               started);
}

int Spawn(const std::vector<std::string>& arguments, const fs::path& output) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int WaitExit(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace lumo::e2e
