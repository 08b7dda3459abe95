// The few operating-system services the host program needs, one file per platform
// (host_platform_posix.cpp, host_platform_win32.cpp). Texts are UTF-8.
#pragma once

#include <string>
#include <vector>

namespace lumoget {

// The module's file name on this platform.
extern const char* const kModuleFileName;

// Loads a dynamic library by path; null with a reason in error on failure.
void* OpenLibrary(const std::string& path, std::string& error);
void* FindSymbol(void* library, const char* name);

// Directory of this program's executable, without a trailing separator ("." when unknown).
std::string ExecutableDir();

// The command line as UTF-8 texts (on Windows from the wide command line).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Console set-up: UTF-8 output where the console needs telling.
void PrepareConsole();
bool StdoutIsTerminal();
// Columns of the terminal on standard output; 0 when unknown.
int TerminalColumns();

// Ctrl-C (and termination requests) increment a counter instead of ending the process;
// a second Ctrl-C ends the process at once with exit code 130.
void WatchInterrupts();
int InterruptCount();

}  // namespace lumoget
