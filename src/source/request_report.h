// The one report of the worker's own text requests (HTTP DNS query, preferred-domain request).
#pragma once

#include <cstdint>
#include <string>

namespace lumo {

class Reporter;
class WorkerIdentity;

// Sends a RequestEvent of the given type with the worker's identity, "HRESULT=" and the system
// text of status as msg, and success for a non-negative status. Returns the msg text.
std::string ReportRequest(Reporter& reporter, const WorkerIdentity& identity,
                          const char* eventType, int32_t status, const std::string& url,
                          const std::string& response);

}  // namespace lumo
