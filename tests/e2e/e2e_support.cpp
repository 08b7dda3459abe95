#include "e2e_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

namespace lumo::e2e {

::testing::AssertionResult SameFiles(const fs::path& actual, const fs::path& expected) {
  const std::string a = ReadFile(actual), b = ReadFile(expected);
  if (a == b && fs::exists(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual << " has " << a.size() << " bytes unlike "
                                       << expected << " (" << b.size() << ")";
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

Scene::Scene(services::ServicesConfig* adjust) {
  fs::create_directories(files);
  fs::create_directories(downloads);
  services = StartServices(files, adjust);
  if (services) base = services->Url();
}

HostedModule::HostedModule() : LoadedModule(LUMO_E2E_BIN_DIR "/liblumodownload.so") {
  EXPECT_NE(Initialise(), nullptr) << "cannot load and initialise the end-to-end module";
}

void HostedModule::SetText(int32_t id, const std::string& text) {
  EXPECT_EQ(downloader->SetOption(id, text.data(), static_cast<uint32_t>(text.size())), 0);
}

std::string HostedModule::ProgressPath() {
  std::string path;
  uint32_t state = 0, average = 0, current = 0;
  uint64_t bytes = 0;
  LumoString text = LumoStringFor(path);
  downloader->GetProgress(&state, &bytes, &average, &current, &text);
  return path;
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
