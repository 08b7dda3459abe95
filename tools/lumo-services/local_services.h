// The outside world of the downloader module, played on this machine: a file server with
// Range support and fault injection, the CDN configuration endpoint, the HTTP DNS service and
// the telemetry collector. Used by the lumo-services program, the demo and the end-to-end tests.
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

struct ServicesConfig {
  // Folder served by the file server.
  std::string filesRoot = ".";
  std::string filesHost = "127.0.0.1";
  int filesPort = 6018;  // 0: chosen by the system
  // The module's endpoints (its build's constants). Port 0 puts an endpoint on the file server.
  std::string reportUrl;
  std::string cdnConfigUrl;
  std::string httpDnsUrl;
  std::string cdnHost;
  // Preferred domain answered per game code; the key "*" answers every other game.
  std::map<std::string, std::string> preferredDomains;
  // URLs rewritten to a resolved address carry no port, so the file server also listens on
  // <filesHost>:<resolvedPort> and the HTTP DNS service names <filesHost> alone. Port 80 needs
  // root; when it cannot be bound the services go on without it (and say so) unless
  // resolvedPortRequired. 0: answer "<filesHost>:<filesPort>" instead.
  int resolvedPort = 80;
  bool resolvedPortRequired = false;
  // HTTP DNS answer for cdnHost; empty: the address above and dnsTtl.
  std::string dnsAnswer;
  int dnsTtl = 60;
  // Every telemetry body is written to a file of its own here when not empty.
  std::string telemetryDir;
  // Receives one line per notable event (thread-safe calls); may be empty.
  std::function<void(const std::string&)> log;
};

// The build's endpoints and CDN host as defaults.
ServicesConfig DefaultServicesConfig();

struct RequestRecord {
  std::string method;
  std::string path;
  std::string range;  // the Range header as sent, or ""
  int status = 0;
  uint64_t bytesSent = 0;
  bool faulted = false;  // an injected fault applied to this request
  bool done = false;     // the answer is over: sent whole, dropped, or the client went away
};

struct TelemetryRecord {
  std::string eventType;
  std::string body;
};

class LocalServices {
 public:
  explicit LocalServices(ServicesConfig config);
  ~LocalServices();
  LocalServices(const LocalServices&) = delete;
  LocalServices& operator=(const LocalServices&) = delete;

  // Binds every port and starts serving. False with a reason when a port cannot be bound.
  bool Start(std::string* error);
  void Stop();

  int filesPort() const { return filesPort_; }
  // The file server also answers on <filesHost>:<resolvedPort>.
  bool resolvedPortListening() const { return resolvedListening_; }
  // http://<filesHost>:<filesPort>
  std::string FilesBaseUrl() const;

  void SetPreferredDomain(const std::string& game, const std::string& domain);

  std::vector<RequestRecord> Requests() const;
  std::vector<TelemetryRecord> Telemetry() const;
  std::map<std::string, int> TelemetryCountByType() const;
  // Body bytes sent for requests whose path ends with suffix.
  uint64_t BytesServed(const std::string& pathSuffix) const;
  size_t RequestCount(const std::string& pathSuffix) const;
  std::vector<std::string> CdnRequests() const;  // game codes asked for
  std::vector<std::string> DnsRequests() const;  // host names asked for

  // Waits until done() holds, re-testing it after every request, telemetry body or bound.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) const;

 private:
  struct Listener;
  struct FaultSpec;

  void HandleGet(const Listener& listener, const httplib::Request& req, httplib::Response& res);
  void HandlePost(const Listener& listener, const httplib::Request& req, const std::string& body,
                  httplib::Response& res);
  void HandleFile(const httplib::Request& req, httplib::Response& res);
  void HandleCdn(const httplib::Request& req, httplib::Response& res);
  void HandleDns(const httplib::Request& req, httplib::Response& res);
  void HandleReport(const std::string& body, httplib::Response& res);
  size_t AddRequest(RequestRecord record);
  void AddSentBytes(size_t index, uint64_t bytes);
  void MarkDone(size_t index);
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
  std::map<std::string, int> faultHits_;

  mutable std::mutex eventMutex_;
  mutable std::condition_variable eventCv_;
  uint64_t generation_ = 0;  // guarded by eventMutex_; grows with every event

  mutable std::mutex logMutex_;
};

}  // namespace lumo::services
