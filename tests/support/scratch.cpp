#include "support/scratch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

#include "platform/platform.h"

namespace lumo::testing {
namespace {

constexpr int kSkippedExitCode = 77;

// Named before any fork, so children use the parent's folder; only the parent removes it.
struct RunFolder {
  pid_t owner = getpid();
  fs::path path = fs::temp_directory_path() / ("lumo-tests-" + std::to_string(owner));
  ~RunFolder() {
    std::error_code ignored;
    if (getpid() == owner) fs::remove_all(path, ignored);
  }
} g_run;

std::string CurrentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return "outside";
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

fs::path ThisTestsDir() { return g_run.path / CurrentTestName(); }

}  // namespace

fs::path TestDir() {
  const fs::path dir = ThisTestsDir();
  fs::create_directories(dir);
  return dir;
}

std::string RandomBytes(size_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t word = random();
    std::memcpy(&bytes[i], &word, std::min<size_t>(8, size - i));
  }
  return bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Md5Hex(const std::string& bytes) {
  platform::Md5Digest md5;
  md5.Update(bytes.data(), bytes.size());
  return platform::DigestHex(md5.Finish());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void RunInChild(const std::function<void()>& scenario, const std::function<void()>& after) {
  const fs::path dir = ThisTestsDir();
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  std::cout << std::flush;
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0) << std::strerror(errno);
  if (child == 0) {
    try {
      scenario();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception: " << e.what();
    }
    const int code = ::testing::Test::HasFailure()  ? 1
                     : ::testing::Test::IsSkipped() ? kSkippedExitCode
                                                    : 0;
    std::cout << std::flush;
    std::fflush(nullptr);
    _exit(code);  // no static destructors: module threads may still run, as in a host that exits
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (after) after();
  fs::remove_all(dir, ignored);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkippedExitCode) {
    GTEST_SKIP() << "skipped in the scenario's process (reason above)";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "the scenario's process died with signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the scenario failed (messages above)";
}

}  // namespace lumo::testing
