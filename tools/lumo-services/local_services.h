// The outside world of the downloader module, played on this machine: a file server with
// Range support and fault injection, the CDN configuration endpoint, the HTTP DNS service and
// the telemetry collector. The one local server of the lumo-services program, the demo, the
// benchmarks and the tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace lumo::services {

// http://host[:port]/path[?query]; only plain HTTP, as the module's endpoints are.
struct HttpEndpoint {
  std::string host;
  int port = 80;
  std::string path;
  std::string query;
};
bool ParseHttpUrl(const std::string& url, HttpEndpoint& out);

constexpr uint64_t kNever = UINT64_MAX;

// Faults of a served file, all off by default. A URL asks for them with a "/fault/<spec>/"
// path element; tests set them on the files they add.
struct Faults {
  int status = 0;                   // answer this status (with the bytes of a file in memory)
  uint64_t delayMs = 0;             // wait this long before answering
  bool stallBeforeHeaders = false;  // send nothing at all until Stop
  uint64_t dropAfter = kNever;      // close the connection after this many body bytes
  uint64_t stallAfter = kNever;     // send this many body bytes, then nothing until Stop or
                                    // the client leaves
  // Offsets in the file at which the connection closes, each once: an answer that starts
  // before the next unused offset and reaches it closes there.
  std::vector<uint64_t> dropAt;
  uint64_t rate = 0;            // average bytes per second; 0: as fast as the client reads
  uint64_t chunkBytes = 0;      // bytes per write; 0: 64 KiB, and a twentieth of any rate
  int64_t declaredLength = -1;  // Content-Length to announce instead of the true one
  bool ignoreRange = false;     // answer 200 and the whole file to a Range request
  bool sendValidators = true;   // ETag and Last-Modified
  uint64_t times = 0;           // apply to this many requests of the path; 0: to every one
  // The URL form, items separated by commas: status=N, drop-after=N, stall-after=N,
  // rate=N (bytes/s), delay=N (ms), times=N, once.
  bool Parse(const std::string& spec);
};

// The defaults put every role on one port chosen by the system, as tests want; the program
// starts from DefaultServicesConfig.
struct ServicesConfig {
  // Folder served by the file server; empty: only the files added in memory.
  std::string filesRoot;
  std::string filesHost = "127.0.0.1";
  int filesPort = 0;  // 0: chosen by the system
  // The module's endpoints. Port 0 puts an endpoint on the file server.
  std::string reportUrl = "http://127.0.0.1:0/post";
  std::string cdnConfigUrl = "http://127.0.0.1:0/cdn-domain/";
  std::string httpDnsUrl = "http://127.0.0.1:0/?ws_domain=";
  std::string cdnHost;  // empty: HTTP DNS resolves nothing
  // Preferred domain answered per game code; the key "*" answers every other game.
  std::map<std::string, std::string> preferredDomains;
  // URLs rewritten to a resolved address carry no port, so the file server also listens on
  // <filesHost>:<resolvedPort> and the HTTP DNS service names <filesHost> alone. Port 80 needs
  // root; when it cannot be bound the services go on without it (and say so). 0: answer
  // "<filesHost>:<filesPort>" instead.
  int resolvedPort = 0;
  // HTTP DNS answer for cdnHost; empty: the address above and dnsTtl.
  std::string dnsAnswer;
  int dnsTtl = 60;
  // Every telemetry body is written to a file of its own here when not empty.
  std::string telemetryDir;
  // Receives one line per notable event (thread-safe calls); may be empty.
  std::function<void(const std::string&)> log;
};

// The program's defaults: this folder on port 6018 and 80, the build's endpoints and CDN host.
ServicesConfig DefaultServicesConfig();

// A request answered by the file server (the other roles keep records of their own).
struct RequestRecord {
  std::string method;
  std::string path;                            // without the query
  std::string target;                          // path and query as sent
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  int status = 0;
  uint64_t bytesSent = 0;
  bool done = false;  // the answer is over: sent whole, dropped, or the client went away

  // The header of that name (any case), or "".
  std::string Header(std::string name) const;
  // The first byte a "bytes=N-" Range header asks for; -1 without one.
  int64_t RangeStart() const;
};

struct TelemetryRecord {
  std::string eventType;
  std::string body;
};

class LocalServices {
 public:
  explicit LocalServices(ServicesConfig config = ServicesConfig());
  ~LocalServices();
  LocalServices(const LocalServices&) = delete;
  LocalServices& operator=(const LocalServices&) = delete;

  // Binds every port and starts serving. False with a reason when a port cannot be bound.
  bool Start(std::string* error = nullptr);
  // Wakes every stalled answer, stops serving and joins the servers' threads.
  void Stop();

  int filesPort() const { return filesPort_; }
  // The file server also answers on <filesHost>:<resolvedPort>.
  bool resolvedPortListening() const { return resolvedListening_; }
  // http://<filesHost>:<filesPort><path>
  std::string Url(const std::string& path = std::string()) const;

  // Serves content at path (exact; the query aside) to every method, ahead of the folder and
  // the other roles. New content gets a new ETag and Last-Modified, as a changed file on a
  // mirror does; the shared form serves one copy at many paths.
  void AddFile(const std::string& path, std::string content, Faults faults = Faults());
  void AddFile(const std::string& path, std::shared_ptr<const std::string> content,
               Faults faults = Faults());
  void SetFaults(const std::string& path, Faults faults);
  std::string ETagOf(const std::string& path) const;  // quotes included
  // Answers every request for path with status and body, after delay.
  void SetReply(const std::string& path, int status, std::string body,
                std::chrono::milliseconds delay = std::chrono::milliseconds(0));

  void SetPreferredDomain(const std::string& game, const std::string& domain);

  // File server requests, in the order they arrived, for paths ending with pathSuffix.
  std::vector<RequestRecord> Requests(const std::string& pathSuffix = std::string()) const;
  size_t RequestCount(const std::string& pathSuffix = std::string()) const;
  // Body bytes sent for requests whose path ends with pathSuffix.
  uint64_t BytesServed(const std::string& pathSuffix) const;
  std::vector<TelemetryRecord> Telemetry() const;
  std::map<std::string, int> TelemetryCountByType() const;
  std::vector<std::string> CdnRequests() const;  // game codes asked for
  std::vector<std::string> DnsRequests() const;  // host names asked for

  // Waits until done() holds, re-testing it after every request, telemetry body or bound.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) const;
  // Waits until an answer stalls (has sent what it sends before its stall).
  bool WaitForStall(std::chrono::milliseconds bound) const;

  // An endpoint that answers nothing until Stop (its requests count as stalls).
  enum class Endpoint { kReport, kCdnConfig, kHttpDns };
  void SetSilent(Endpoint endpoint, bool silent);

 private:
  struct Listener;
  struct MemoryFile {
    std::shared_ptr<const std::string> content;
    std::string etag;
    std::string lastModified;
    Faults faults;
  };
  struct PathState {
    uint64_t hits = 0;      // requests that a fault with a count applied to
    size_t dropsTaken = 0;  // offsets of Faults::dropAt used up
  };

  void Route(const Listener& listener, const httplib::Request& req, const std::string& body,
             httplib::Response& res);
  void HandleFile(const httplib::Request& req, const std::string& body, httplib::Response& res);
  void HandleCdn(const httplib::Request& req, httplib::Response& res);
  void HandleDns(const httplib::Request& req, httplib::Response& res);
  void HandleReport(const std::string& body, httplib::Response& res);
  // Whether the fault applies to this request of path (counting it).
  bool TakeFault(const std::string& path, const Faults& faults);
  // The next unused drop offset inside [first, last] of the file at path, relative to first
  // and used up; kNever when there is none.
  uint64_t TakeDrop(const std::string& path, const Faults& faults, uint64_t first, uint64_t last);
  size_t AddRequest(const httplib::Request& req, const std::string& body);
  void Update(size_t index, const std::function<void(RequestRecord&)>& change);
  // Counts a stall, then waits for Stop or until holds() fails.
  void Stall(const std::function<bool()>& holds);
  // Stalls a request to a silent endpoint (then answers 503); false when it is not silent.
  bool StallIfSilent(Endpoint endpoint, httplib::Response& res);
  void Notify();
  void Log(const std::string& line) const;
  // Sleeps up to duration; false when the services are stopping.
  bool Pause(std::chrono::milliseconds duration) const;

  ServicesConfig config_;
  HttpEndpoint report_;
  HttpEndpoint cdn_;
  HttpEndpoint dns_;
  std::string dnsKey_;
  std::atomic<int> filesPort_{0};
  std::atomic<bool> resolvedListening_{false};
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex dataMutex_;  // guards everything below up to eventMutex_
  std::vector<RequestRecord> requests_;
  std::vector<TelemetryRecord> telemetry_;
  std::vector<std::string> cdnRequests_;
  std::vector<std::string> dnsRequests_;
  std::map<std::string, MemoryFile> files_;
  std::map<std::string, PathState> pathStates_;
  uint64_t versions_ = 0;  // of the files in memory
  size_t stalls_ = 0;
  bool silent_[3] = {false, false, false};  // by Endpoint; guarded by dataMutex_

  mutable std::mutex eventMutex_;
  mutable std::condition_variable eventCv_;
  uint64_t generation_ = 0;  // guarded by eventMutex_; grows with every event

  mutable std::mutex logMutex_;
};

}  // namespace lumo::services
