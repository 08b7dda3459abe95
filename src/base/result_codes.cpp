#include "base/result_codes.h"

#include "zdl/zdl_engine.h"

namespace lumo {
namespace {

struct ResultText {
  int32_t code;
  const char* message;
};

constexpr ResultText kResultTexts[] = {
    {kZdlResultSuccess, "Success"},
    {kZdlResultGeneral, "General error"},
    {kZdlResultAborted, "Abort download"},
    {kZdlResultNetwork, "Network error"},
    {kZdlResultFileSystem, "File System error"},
    {kZdlResultNotFound, "File not found in server."},
    {kZdlResultServer, "Other server error"},
    {kZdlResultTimeout, "Download timeout"},
    {kZdlResultChecksum, "Data checksum error"},
};

const ResultText* FindResult(int32_t code) {
  for (const ResultText& entry : kResultTexts) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string ResultMessage(int32_t code) {
  const ResultText* entry = FindResult(code);
  return entry != nullptr ? entry->message : std::to_string(code);
}

int32_t StoredResultCode(int32_t code) {
  return FindResult(code) != nullptr ? code : kZdlResultGeneral;
}

}  // namespace lumo
