// The three exports of zdlcore; nothing else leaves the library.
#include "engine_services.h"
#include "zdl/zdl_engine.h"

extern "C" {

ZDL_API int32_t ZDL_CDECL mod_init(void) { return zdl::EngineInit(); }

ZDL_API void ZDL_CDECL mod_term(void) { zdl::EngineTerm(); }

ZDL_API int32_t ZDL_CDECL mod_getobject(const ZdlGuid* iid, void** out) {
  return zdl::EngineGetObject(iid, out);
}

}
