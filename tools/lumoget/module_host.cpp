#include "module_host.h"

#include "host_platform.h"

namespace lumoget {

bool ModuleHost::Load(const std::string& path, std::string& error) {
  library_ = OpenLibrary(path, error);
  if (!library_) return false;
  // The exports are plain C functions; converting the symbol addresses is how every loader
  // reaches them.
  init_ = reinterpret_cast<LumoInitFn>(FindSymbol(library_, "mod_lumoinit"));
  term_ = reinterpret_cast<LumoTermFn>(FindSymbol(library_, "mod_lumoterm"));
  getObject_ = reinterpret_cast<LumoGetObjectFn>(FindSymbol(library_, "mod_lumogetobject"));
  if (!init_ || !term_ || !getObject_) {
    error = path + " lacks mod_lumoinit, mod_lumoterm or mod_lumogetobject";
    return false;
  }
  return true;
}

int32_t ModuleHost::Init(std::string& errorText) {
  LumoString text = LumoStringFor(errorText);
  return init_(&text);
}

int32_t ModuleHost::GetDownloader(ILumoDownloader** downloader) {
  void* object = nullptr;
  const int32_t code = getObject_(&IID_ILumoDownloader, &object);
  *downloader = code >= 0 ? static_cast<ILumoDownloader*>(object) : nullptr;
  return code;
}

int32_t ModuleHost::Term() { return term_ ? term_() : 0; }

}  // namespace lumoget
