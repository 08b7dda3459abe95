// Files and processes every kind of test needs: one temporary folder per test program run
// (removed when the program ends), a folder per test inside it, sample bytes, and a child
// process for scenarios that load the module (it keeps process-wide state).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace lumo::testing {

namespace fs = std::filesystem;

// The running test's folder (made on first use) in this run's folder under the system's
// temporary folder.
fs::path TestDir();

std::string RandomBytes(size_t size, uint64_t seed);             // the same bytes for the same seed
std::string ReadFile(const fs::path& path);                      // empty when missing
std::string Md5Hex(const std::string& bytes);                    // lower-case hex
void WriteFile(const fs::path& path, const std::string& bytes);  // makes the parents

// Runs scenario in a forked child. The child's failures fail the test, its skip skips it;
// TestDir() is removed afterwards, then after() runs in the parent.
void RunInChild(const std::function<void()>& scenario, const std::function<void()>& after = {});

}  // namespace lumo::testing
