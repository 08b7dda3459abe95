// Downloads one URL with the engine library, loaded by path the way the module loads it, and
// polls the session every 100 ms. Used by bench/engine_throughput.
//
//   engine_fetch <engine library> <url> <save dir> [file name] [max bytes/s]
//
// Prints "result=<code> extended=<code> bytes=<n> ms=<elapsed>" and exits 0 on success.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "zdl/zdl_engine.h"

namespace {

lumo::WString Wide(const char* text) {
  lumo::WString out;
  lumo::platform::MultiByteToWide(lumo::platform::CodePage::kUtf8, text,
                                  std::char_traits<char>::length(text), &out);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <engine library> <url> <save dir> [file name] [max B/s]\n",
                 argv[0]);
    return 2;
  }
  void* library = lumo::platform::LoadDynamicLibrary(Wide(argv[1]));
  if (!library) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  auto init = reinterpret_cast<ZdlInitFn>(lumo::platform::FindSymbol(library, "mod_init"));
  auto term = reinterpret_cast<ZdlTermFn>(lumo::platform::FindSymbol(library, "mod_term"));
  auto getObject =
      reinterpret_cast<ZdlGetObjectFn>(lumo::platform::FindSymbol(library, "mod_getobject"));
  if (!init || !term || !getObject || init() < 0) {
    std::fprintf(stderr, "engine entry points missing or init failed\n");
    return 2;
  }
  IZDownloadService* service = nullptr;
  if (getObject(&IID_IZDownloadService, reinterpret_cast<void**>(&service)) < 0) return 2;

  lumo::WString dir = Wide(argv[3]);
  lumo::WString name = argc > 4 ? Wide(argv[4]) : lumo::WString();
  IZDownloadSession* session = nullptr;
  if (service->CreateSession(argv[2], nullptr, dir.c_str(), name.c_str(), &session) < 0) {
    std::fprintf(stderr, "CreateSession failed\n");
    return 2;
  }
  uint8_t overwrite = 1;
  session->SetOption(kZdlOptionOverwrite, &overwrite, 1);
  if (argc > 5) {
    uint32_t speed = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
    session->SetOption(kZdlOptionMaxSpeed, &speed, sizeof speed);
  }
  if (session->Start() < 0) return 2;

  int32_t status = 0;
  uint64_t total = 0, downloaded = 0;
  uint32_t average = 0, current = 0;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    session->GetStatus(&status, &total, &downloaded, &average, &current);
  } while (status != kZdlStatusDownloaded && status != kZdlStatusError);

  int32_t result = 0, extended = 0;
  ZdlFileInfo info{};
  session->GetResult(&result, &extended);
  session->GetFileInfo(&info);
  session->Release();
  service->Release();
  term();
  std::printf("result=%d extended=%d bytes=%llu ms=%llu\n", result, extended,
              static_cast<unsigned long long>(info.downloadedBytes),
              static_cast<unsigned long long>(info.elapsedMs));
  return result == kZdlResultSuccess ? 0 : 1;
}
