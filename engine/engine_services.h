// The two process-wide service objects of the engine and the entry points behind the exports.
#pragma once

#include "zdl/zdl_engine.h"

namespace zdl {

// mod_init: starts the engine (again after EngineTerm); 0, or kZdlFail when the HTTP stack
// cannot start.
int32_t EngineInit();
// mod_term: cancels every session and request and waits for the engine's threads. Services
// obtained earlier stay valid objects, but create nothing until the next EngineInit.
void EngineTerm();
// mod_getobject: IID_IZDownloadService or IID_IZHttpService, with a reference added.
int32_t EngineGetObject(const ZdlGuid* iid, void** out);

}  // namespace zdl
