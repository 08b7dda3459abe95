// A launcher's teardown under wine: loads the module from a plug-in folder, brings one job to a
// stage where something is stuck, then Release + mod_lumoterm + FreeLibrary. Passes (exit 0)
// when the two calls return within the destruction bound, FreeLibrary succeeds, the process is
// alive 2 s later and the cell's own checks hold. Prints the time the two calls took.
//
//   lumo-teardown-host --cell CELL --module DLL --dir DIR --url URL [--name NAME]
//                      [--checksum-url URL --checksum-md5 HEX] [--stall-port N] [--size N]
//
// Cells: held (the server holds back its headers), endpoint (a module endpoint on --stall-port
// accepts and never answers), collector (the same for the collector, once the job is done),
// paused (pause on a stalled transfer; Resume must make progress first), hash (during the final
// MD5 of a file of --size bytes), complete (the job completes; the engine must come from the
// module's own folder).
// winsock2.h before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lumo/lumo_downloader.h"

namespace {

constexpr long long kBoundMs = 5000;
int g_failures = 0;

void Fail(const std::string& what) {
  std::fprintf(stderr, "lumo-teardown-host: FAILED: %s\n", what.c_str());
  ++g_failures;
}

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
}

std::wstring FolderOf(const std::wstring& path) {
  return std::filesystem::path(path).parent_path().wstring();
}

long long FileSize(const std::wstring& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long long>(size);
}

// An export as the function type the header gives it.
template <typename Fn>
Fn Export(HMODULE library, const char* name) {
  FARPROC address = GetProcAddress(library, name);
  Fn typed = nullptr;
  static_assert(sizeof typed == sizeof address, "code pointers differ in size");
  std::memcpy(&typed, &address, sizeof typed);
  return typed;
}

bool PollUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(20);
  }
  return true;
}

// Accepts connections on 127.0.0.1:port and never answers them, until Close.
class StallListener {
 public:
  bool Open(int port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket_, 16) != 0) {
      return false;
    }
    thread_ = std::thread([this] {
      for (;;) {
        SOCKET accepted = accept(socket_, nullptr, nullptr);
        if (accepted == INVALID_SOCKET) return;
        held_.push_back(accepted);
        accepted_.fetch_add(1);
      }
    });
    return true;
  }
  int Accepted() const { return accepted_.load(); }
  void Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    if (thread_.joinable()) thread_.join();
    for (SOCKET held : held_) closesocket(held);
    held_.clear();
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  std::thread thread_;
  std::vector<SOCKET> held_;  // the accepting thread's until Close joins it
  std::atomic<int> accepted_{0};
};

// "--key value" pairs; only the keys of the usage line, and the four that must be there.
using Options = std::map<std::string, std::string>;

bool Parse(int argc, char** argv, Options* o) {
  static const std::set<std::string> kKeys = {"--cell",         "--module",     "--dir",
                                              "--url",          "--name",       "--checksum-url",
                                              "--checksum-md5", "--stall-port", "--size"};
  (*o)["--name"] = "file.bin";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (kKeys.count(argv[i]) == 0) return false;
    (*o)[argv[i]] = argv[i + 1];
  }
  return o->count("--cell") && o->count("--module") && o->count("--dir") && o->count("--url");
}

uint64_t Bytes(ILumoDownloader* d) {
  uint32_t state = 0, average = 0, current = 0;
  uint64_t bytes = 0;
  d->GetProgress(&state, &bytes, &average, &current, nullptr);
  return bytes;
}

bool Completed(ILumoDownloader* d) {
  std::string list;
  LumoString text = LumoStringFor(list);
  d->GetCompletedFiles(&text);
  return !list.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: see the head of teardown_host.cpp\n");
    return 2;
  }
  const std::string cell = o["--cell"];
  const int stallPort = std::atoi(o["--stall-port"].c_str());
  const long long size = std::atoll(o["--size"].c_str());
  const std::wstring modulePath = std::filesystem::absolute(Wide(o["--module"])).wstring();
  const std::wstring dir = Wide(o["--dir"]);
  const std::wstring part = dir + L"\\" + Wide(o["--name"]) + L".part";
  StallListener listener;
  if (stallPort > 0 && !listener.Open(stallPort)) {
    Fail("cannot listen on port " + std::to_string(stallPort));
    return 1;
  }

  HMODULE library = LoadLibraryW(modulePath.c_str());
  if (library == nullptr) {
    Fail("cannot load the module");
    return 1;
  }
  auto init = Export<LumoInitFn>(library, "mod_lumoinit");
  auto term = Export<LumoTermFn>(library, "mod_lumoterm");
  auto getObject = Export<LumoGetObjectFn>(library, "mod_lumogetobject");
  std::string error;
  LumoString errorText = LumoStringFor(error);
  void* object = nullptr;
  if (init == nullptr || term == nullptr || getObject == nullptr || init(&errorText) != 0 ||
      getObject(&IID_ILumoDownloader, &object) != 0) {
    Fail("mod_lumoinit: " + error);
    return 1;
  }
  auto* d = static_cast<ILumoDownloader*>(object);

  const char* urls[] = {o["--url"].c_str()};
  const char* checksumUrls[] = {o["--checksum-url"].c_str()};
  const std::wstring name = Wide(o["--name"]);
  const bool withChecksum = !o["--checksum-url"].empty();
  if (d->AddDownload(urls, 1, dir.c_str(), name.c_str(), withChecksum ? checksumUrls : nullptr,
                     withChecksum ? 1 : 0,
                     withChecksum ? o["--checksum-md5"].c_str() : nullptr) != 0 ||
      d->Start() != 0) {
    Fail("AddDownload or Start refused");
  }

  if (cell == "held") {
    Sleep(1500);
  } else if (cell == "endpoint" || cell == "collector") {
    if (!PollUntil([&] { return listener.Accepted() > 0; }, 60))
      Fail("nothing reached the endpoint");
    if (cell == "collector" && !PollUntil([&] { return Completed(d); }, 60)) {
      Fail("the job did not complete with a silent collector");
    }
  } else if (cell == "paused") {
    if (!PollUntil([&] { return Bytes(d) > 0; }, 60)) Fail("no progress before the stall");
    const uint64_t before = Bytes(d);
    if (d->Pause(0) != 0 || d->Resume() != 0) Fail("Pause or Resume refused");
    if (!PollUntil([&] { return Bytes(d) > before; }, 60)) Fail("Resume made no progress");
    d->Pause(0);
  } else if (cell == "hash") {
    if (!PollUntil([&] { return FileSize(part) == size; }, 300)) Fail("the part never got whole");
  } else if (cell == "complete") {
    if (!PollUntil([&] { return Completed(d); }, 60)) Fail("the job did not complete");
    wchar_t engine[4096] = {};
    HMODULE loaded = GetModuleHandleW(L"zdlcore.dll");
    if (loaded == nullptr || GetModuleFileNameW(loaded, engine, 4096) == 0 ||
        _wcsicmp(FolderOf(engine).c_str(), FolderOf(modulePath).c_str()) != 0) {
      Fail("the engine was not loaded from the module's folder");
    }
  } else {
    Fail("unknown cell " + cell);
  }

  const auto start = std::chrono::steady_clock::now();
  d->Release();
  term();
  const long long tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
  if (!FreeLibrary(library)) Fail("FreeLibrary");
  std::printf("[teardown] %s: release + mod_lumoterm took %lld ms\n", cell.c_str(), tookMs);
  std::fflush(stdout);
  if (tookMs > kBoundMs) Fail("release + mod_lumoterm took longer than the bound");
  // A thread left running on the unloaded code would fault within this time.
  Sleep(2000);
  listener.Close();
  if (cell == "hash" && FileSize(part) != size) Fail("the hash was not cut short");
  return g_failures == 0 ? 0 : 1;
}
