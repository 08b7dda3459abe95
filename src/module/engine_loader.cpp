#include "module/engine_loader.h"

#include <vector>

#include "base/text_conversion.h"
#include "base/log.h"

namespace lumo {

ZDownloadLoader::ZDownloadLoader(WString libraryName) : libraryName_(std::move(libraryName)) {}

ZDownloadLoader::~ZDownloadLoader() { Unload(); }

ZDownloadLoader& ZDownloadLoader::Process() {
  static ZDownloadLoader loader(platform::EngineLibraryName());
  return loader;
}

std::vector<WString> ZDownloadLoader::CandidatePaths(const WString& libraryName) {
  for (WChar c : libraryName) {
    if (platform::IsPathSeparator(c)) return {libraryName};
  }
  // Beside the module first, then beside the host's program; never the current directory or
  // the system's search path, where any file of that name would do.
  std::vector<WString> paths;
  for (const WString& folder : {platform::LibraryDirectory(), platform::ExecutableDirectory()}) {
    if (folder.empty()) continue;
    const WString path = folder + libraryName;
    if (paths.empty() || paths.front() != path) paths.push_back(path);
  }
  return paths;
}

int32_t ZDownloadLoader::Load(const WString& libraryName) {
  if (library_ != nullptr) return static_cast<int32_t>(0x80070005u);
  void* library = nullptr;
  for (const WString& path : CandidatePaths(libraryName)) {
    library = platform::LoadDynamicLibrary(path);
    if (library != nullptr) break;
  }
  if (library == nullptr) return static_cast<int32_t>(0x80004005u);
  auto init = reinterpret_cast<ZdlInitFn>(platform::FindSymbol(library, "mod_init"));
  auto term = reinterpret_cast<ZdlTermFn>(platform::FindSymbol(library, "mod_term"));
  auto getObject = reinterpret_cast<ZdlGetObjectFn>(platform::FindSymbol(library, "mod_getobject"));
  if (init == nullptr || term == nullptr || getObject == nullptr) {
    platform::UnloadDynamicLibrary(library);
    return static_cast<int32_t>(0x80004005u);
  }
  library_ = library;
  init_ = init;
  term_ = term;
  getObject_ = getObject;
  return 0;
}

std::string ZDownloadLoader::LoadFailureText(int32_t code) const {
  return FormatText("Load %s failed, %s", Utf8Of(libraryName_).c_str(),
                    platform::SystemErrorText(code).c_str());
}

int32_t ZDownloadLoader::Bind(std::string* errorText) {
  auto fail = [errorText](int32_t code, std::string text) {
    WriteLog(LogLevel::kError, "%s", text.c_str());
    if (errorText != nullptr) *errorText = std::move(text);
    return code;
  };

  int32_t code = Load(libraryName_);
  if (code < 0) return fail(code, LoadFailureText(code));

  code = init_();
  // mod_term follows every mod_init, also a failed one, when the object is destroyed.
  initialised_ = true;
  if (code < 0) {
    return fail(code,
                FormatText("Init zdlcore failed, %s", platform::SystemErrorText(code).c_str()));
  }
  // Either service missing is told with the download service's name.
  auto serviceFailed = [&fail](int32_t failure) {
    return fail(failure, FormatText("Get IZDownloadService instance failed, %s",
                                    platform::SystemErrorText(failure).c_str()));
  };

  // A failed call may leave anything in its slot: only a success hands over a reference.
  IZDownloadService* downloads = nullptr;
  code = getObject_(&IID_IZDownloadService, reinterpret_cast<void**>(&downloads));
  if (code < 0) return serviceFailed(code);
  downloads_ = ComRef<IZDownloadService>::Adopt(downloads);
  IZHttpService* http = nullptr;
  code = getObject_(&IID_IZHttpService, reinterpret_cast<void**>(&http));
  if (code < 0) return serviceFailed(code);
  http_ = ComRef<IZHttpService>::Adopt(http);
  return code;
}

void ZDownloadLoader::ReleaseAndTerminate() {
  downloads_.Reset();
  http_.Reset();
  if (term_ != nullptr && initialised_) term_();
  initialised_ = false;
}

void ZDownloadLoader::Unload() {
  // A running engine keeps its threads in the library's code: unloading it would pull the code
  // from under them, so it stays until the process ends.
  if (library_ == nullptr || initialised_) return;
  platform::UnloadDynamicLibrary(library_);
  library_ = nullptr;
  init_ = nullptr;
  term_ = nullptr;
  getObject_ = nullptr;
}

}  // namespace lumo
