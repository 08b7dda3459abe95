#include "local_services.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "form_body.h"
#include "lumo/build_config.h"

namespace lumo::services {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunkBytes = 64 * 1024;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ParseNumber(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  out = value;
  return true;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(path);
  while (std::getline(in, part, '/')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::string HttpDate(std::time_t when) {
  char text[64];
  std::tm parts{};
  gmtime_r(&when, &parts);
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

// One byte range of a file of the given size. Supports the single-range forms a downloader
// sends: "bytes=a-b", "bytes=a-", "bytes=-n".
enum class RangeAnswer { kWhole, kPartial, kUnsatisfiable };
RangeAnswer ParseRange(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
  first = 0;
  last = size == 0 ? 0 : size - 1;
  if (header.empty()) return RangeAnswer::kWhole;
  if (!StartsWith(header, "bytes=") || header.find(',') != std::string::npos) {
    return RangeAnswer::kWhole;  // not understood: answer the whole file, as servers may
  }
  const std::string spec = header.substr(6);
  const size_t dash = spec.find('-');
  if (dash == std::string::npos) return RangeAnswer::kWhole;
  const std::string from = spec.substr(0, dash);
  const std::string to = spec.substr(dash + 1);
  uint64_t a = 0;
  uint64_t b = 0;
  if (from.empty()) {
    if (!ParseNumber(to, b) || b == 0) return RangeAnswer::kUnsatisfiable;
    if (size == 0) return RangeAnswer::kUnsatisfiable;
    first = b >= size ? 0 : size - b;
    last = size - 1;
    return RangeAnswer::kPartial;
  }
  if (!ParseNumber(from, a)) return RangeAnswer::kWhole;
  if (a >= size) return RangeAnswer::kUnsatisfiable;
  if (to.empty()) {
    b = size - 1;
  } else if (!ParseNumber(to, b) || b < a) {
    return RangeAnswer::kWhole;
  }
  first = a;
  last = std::min(b, size - 1);
  return RangeAnswer::kPartial;
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseHttpUrl(const std::string& url, HttpEndpoint& out) {
  const std::string scheme = "http://";
  if (!StartsWith(url, scheme)) return false;
  const std::string rest = url.substr(scheme.size());
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  std::string pathAndQuery = slash == std::string::npos ? "/" : rest.substr(slash);
  HttpEndpoint endpoint;
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) {
    endpoint.host = authority;
    endpoint.port = 80;
  } else {
    uint64_t port = 0;
    if (!ParseNumber(authority.substr(colon + 1), port) || port > 65535) {
      return false;
    }
    endpoint.host = authority.substr(0, colon);
    endpoint.port = static_cast<int>(port);
  }
  if (endpoint.host.empty()) return false;
  const size_t question = pathAndQuery.find('?');
  endpoint.path = pathAndQuery.substr(0, question);
  if (question != std::string::npos) endpoint.query = pathAndQuery.substr(question + 1);
  out = endpoint;
  return true;
}

ServicesConfig DefaultServicesConfig() {
  ServicesConfig config;
  config.filesRoot = ".";
  config.filesPort = 6018;
  config.resolvedPort = 80;
  config.reportUrl = LUMO_REPORT_URL;
  config.cdnConfigUrl = LUMO_CDN_CONFIG_URL;
  config.httpDnsUrl = LUMO_HTTPDNS_URL;
  config.cdnHost = LUMO_CDN_HOST;
  return config;
}

bool Faults::Parse(const std::string& text) {
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    uint64_t value = 0;
    if (key == "once") {
      times = 1;
      continue;
    }
    if (equals == std::string::npos || !ParseNumber(item.substr(equals + 1), value)) {
      return false;
    }
    if (key == "status" && value >= 100 && value <= 599) {
      status = static_cast<int>(value);
    } else if (key == "drop-after") {
      dropAfter = value;
    } else if (key == "stall-after") {
      stallAfter = value;
    } else if (key == "rate" && value > 0) {
      rate = value;
    } else if (key == "delay") {
      delayMs = value;
    } else if (key == "times") {
      times = value;
    } else {
      return false;
    }
  }
  return true;
}

std::string RequestRecord::Header(std::string name) const {
  const auto found = headers.find(Lower(std::move(name)));
  return found == headers.end() ? std::string() : found->second;
}

int64_t RequestRecord::RangeStart() const {
  uint64_t first = 0;
  const std::string range = Header("Range");
  const size_t dash = range.find('-');
  if (!StartsWith(range, "bytes=") || !ParseNumber(range.substr(6, dash - 6), first)) return -1;
  return static_cast<int64_t>(first);
}

struct LocalServices::Listener {
  std::string host;
  int port = 0;
  bool files = false;
  bool primaryFiles = false;
  bool resolvedFiles = false;
  bool report = false;
  bool cdn = false;
  bool dns = false;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
};

LocalServices::LocalServices(ServicesConfig config) : config_(std::move(config)) {}

LocalServices::~LocalServices() { Stop(); }

std::string LocalServices::Url(const std::string& path) const {
  return "http://" + config_.filesHost + ":" + std::to_string(filesPort_.load()) + path;
}

bool LocalServices::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    Stop();
    return false;
  };
  if (!ParseHttpUrl(config_.reportUrl, report_)) return fail("bad report URL " + config_.reportUrl);
  if (!ParseHttpUrl(config_.cdnConfigUrl, cdn_)) {
    return fail("bad CDN configuration URL " + config_.cdnConfigUrl);
  }
  if (!ParseHttpUrl(config_.httpDnsUrl, dns_)) {
    return fail("bad HTTP DNS URL " + config_.httpDnsUrl);
  }
  dnsKey_ = dns_.query;
  if (!dnsKey_.empty() && dnsKey_.back() == '=') dnsKey_.pop_back();
  if (dnsKey_.empty() || dnsKey_.find('=') != std::string::npos) {
    return fail("the HTTP DNS URL must end in ?<key>=: " + config_.httpDnsUrl);
  }

  // One server per address; roles that share an address share its server, and an endpoint
  // with port 0 lives on the file server.
  auto listenerFor = [&](const std::string& host, int port) -> Listener& {
    for (auto& listener : listeners_) {
      if (port == 0 && listener->files) return *listener;
      if (port != 0 && listener->host == host && listener->port == port) return *listener;
    }
    listeners_.push_back(std::make_unique<Listener>());
    listeners_.back()->host = host;
    listeners_.back()->port = port;
    return *listeners_.back();
  };
  Listener& files = listenerFor(config_.filesHost, config_.filesPort);
  files.files = true;
  files.primaryFiles = true;
  if (config_.resolvedPort != 0) {
    Listener& resolved = listenerFor(config_.filesHost, config_.resolvedPort);
    resolved.files = true;
    resolved.resolvedFiles = true;
  }
  listenerFor(report_.host, report_.port).report = true;
  listenerFor(cdn_.host, cdn_.port).cdn = true;
  listenerFor(dns_.host, dns_.port).dns = true;

  for (auto& listenerPtr : listeners_) {
    Listener& listener = *listenerPtr;
    listener.server = std::make_unique<httplib::Server>();
    Listener* self = &listener;
    // Short keep-alive: idle connections hold pool threads, and Stop waits for them.
    listener.server->set_keep_alive_timeout(1);
    // As web servers do: a reused connection must not hold the end of an answer back until the
    // client's delayed acknowledgement.
    listener.server->set_tcp_nodelay(true);
    listener.server->Get(".*", [this, self](const httplib::Request& req, httplib::Response& res) {
      Route(*self, req, std::string(), res);
    });
    // Bodies come through a content reader: the library's plain handlers refuse URL-encoded
    // forms above 8 KiB, and a statistics report of a large run is bigger.
    listener.server->Post(".*", [this, self](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader& reader) {
      std::string body;
      reader([&body](const char* data, size_t length) {
        body.append(data, length);
        return true;
      });
      Route(*self, req, body, res);
    });
    if (listener.port == 0) {
      listener.port = listener.server->bind_to_any_port(listener.host);
      if (listener.port <= 0) return fail("cannot bind a port on " + listener.host);
    } else if (!listener.server->bind_to_port(listener.host, listener.port)) {
      const std::string why = "cannot listen on " + listener.host + ":" +
                              std::to_string(listener.port) + " (in use, or needs root?)";
      const bool onlyResolved = listener.resolvedFiles && !listener.primaryFiles &&
                                !listener.report && !listener.cdn && !listener.dns;
      if (!onlyResolved) return fail(why);
      Log("[warning] " + why + ": files fetched through HTTP DNS will fail");
      listener.server.reset();
      continue;
    }
    if (listener.primaryFiles) filesPort_ = listener.port;
    if (listener.resolvedFiles) resolvedListening_ = true;
  }
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [](const auto& listener) { return !listener->server; }),
                   listeners_.end());
  for (auto& listener : listeners_) {
    httplib::Server* server = listener->server.get();
    listener->thread = std::thread([server] {
      try {
        server->listen_after_bind();
      } catch (...) {
        // A server that dies leaves its port silent; the callers notice through time-outs.
      }
    });
  }
  // httplib ignores stop() before its loop runs and offers no ready signal: wait (bounded) for
  // every loop to run so that Stop() always ends them.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& listener : listeners_) {
    while (!listener->server->is_running()) {
      if (std::chrono::steady_clock::now() > deadline) return fail("a server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

void LocalServices::Stop() {
  stopping_ = true;
  for (auto& listener : listeners_) {
    if (listener->server) listener->server->stop();
  }
  for (auto& listener : listeners_) {
    if (listener->thread.joinable()) listener->thread.join();
  }
  listeners_.clear();
  Notify();
}

void LocalServices::AddFile(const std::string& path, std::string content, Faults faults) {
  AddFile(path, std::make_shared<const std::string>(std::move(content)), std::move(faults));
}

void LocalServices::AddFile(const std::string& path, std::shared_ptr<const std::string> content,
                            Faults faults) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  const uint64_t version = ++versions_;
  const size_t size = content->size();
  // A distinct date per version: the seconds count the versions from 2024-01-01.
  files_[path] = MemoryFile{
      std::move(content), "\"" + std::to_string(version) + "-" + std::to_string(size) + "\"",
      HttpDate(static_cast<std::time_t>(1704067200 + version)), std::move(faults)};
  pathStates_.erase(path);
}

void LocalServices::SetFaults(const std::string& path, Faults faults) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  files_[path].faults = std::move(faults);
  pathStates_.erase(path);
}

std::string LocalServices::ETagOf(const std::string& path) const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  const auto found = files_.find(path);
  return found == files_.end() ? std::string() : found->second.etag;
}

void LocalServices::SetReply(const std::string& path, int status, std::string body,
                             std::chrono::milliseconds delay) {
  Faults faults;
  faults.status = status;
  faults.delayMs = static_cast<uint64_t>(delay.count());
  AddFile(path, std::move(body), faults);
}

void LocalServices::SetPreferredDomain(const std::string& game, const std::string& domain) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  config_.preferredDomains[game] = domain;
}

std::vector<RequestRecord> LocalServices::Requests(const std::string& pathSuffix) const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  std::vector<RequestRecord> found;
  for (const auto& record : requests_) {
    if (EndsWith(record.path, pathSuffix)) found.push_back(record);
  }
  return found;
}

size_t LocalServices::RequestCount(const std::string& pathSuffix) const {
  return Requests(pathSuffix).size();
}

uint64_t LocalServices::BytesServed(const std::string& pathSuffix) const {
  uint64_t total = 0;
  for (const auto& record : Requests(pathSuffix)) total += record.bytesSent;
  return total;
}

std::vector<TelemetryRecord> LocalServices::Telemetry() const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  return telemetry_;
}

std::map<std::string, int> LocalServices::TelemetryCountByType() const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  std::map<std::string, int> counts;
  for (const auto& record : telemetry_) ++counts[record.eventType];
  return counts;
}

std::vector<std::string> LocalServices::CdnRequests() const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  return cdnRequests_;
}

std::vector<std::string> LocalServices::DnsRequests() const {
  std::lock_guard<std::mutex> lock(dataMutex_);
  return dnsRequests_;
}

bool LocalServices::WaitFor(const std::function<bool()>& done,
                            std::chrono::milliseconds bound) const {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(eventMutex_);
  while (true) {
    const uint64_t seen = generation_;
    lock.unlock();
    if (done()) return true;
    lock.lock();
    if (std::chrono::steady_clock::now() >= deadline) return false;
    eventCv_.wait_until(lock, deadline, [&] { return generation_ != seen; });
  }
}

bool LocalServices::WaitForStall(std::chrono::milliseconds bound) const {
  return WaitFor(
      [this] {
        std::lock_guard<std::mutex> lock(dataMutex_);
        return stalls_ > 0;
      },
      bound);
}

void LocalServices::Notify() {
  {
    std::lock_guard<std::mutex> lock(eventMutex_);
    ++generation_;
  }
  eventCv_.notify_all();
}

void LocalServices::Log(const std::string& line) const {
  if (!config_.log) return;
  std::lock_guard<std::mutex> lock(logMutex_);
  config_.log(line);
}

bool LocalServices::Pause(std::chrono::milliseconds duration) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        deadline - now, std::chrono::milliseconds(20)));
  }
  return false;
}

void LocalServices::SetSilent(Endpoint endpoint, bool silent) {
  std::lock_guard<std::mutex> lock(dataMutex_);
  silent_[static_cast<size_t>(endpoint)] = silent;
}

bool LocalServices::StallIfSilent(Endpoint endpoint, httplib::Response& res) {
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    if (!silent_[static_cast<size_t>(endpoint)]) return false;
  }
  Stall([] { return true; });
  res.status = 503;
  return true;
}

void LocalServices::Stall(const std::function<bool()>& holds) {
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    ++stalls_;
  }
  Notify();
  while (Pause(std::chrono::milliseconds(200)) && holds()) {
  }
}

size_t LocalServices::AddRequest(const httplib::Request& req, const std::string& body) {
  RequestRecord record;
  record.method = req.method;
  record.path = req.path;
  record.target = req.target;
  for (const auto& header : req.headers) record.headers.emplace(Lower(header.first), header.second);
  record.body = body;
  size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    requests_.push_back(std::move(record));
    index = requests_.size() - 1;
  }
  Notify();
  return index;
}

void LocalServices::Update(size_t index, const std::function<void(RequestRecord&)>& change) {
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    change(requests_[index]);
  }
  Notify();
}

bool LocalServices::TakeFault(const std::string& path, const Faults& faults) {
  if (faults.times == 0) return true;
  std::lock_guard<std::mutex> lock(dataMutex_);
  return ++pathStates_[path].hits <= faults.times;
}

uint64_t LocalServices::TakeDrop(const std::string& path, const Faults& faults, uint64_t first,
                                 uint64_t last) {
  const std::vector<uint64_t>& offsets = faults.dropAt;
  std::lock_guard<std::mutex> lock(dataMutex_);
  size_t& taken = pathStates_[path].dropsTaken;
  // Offsets at or before the answer's start are passed: the data before them arrived.
  while (taken < offsets.size() && offsets[taken] <= first) ++taken;
  if (taken >= offsets.size() || offsets[taken] > last) return kNever;
  return offsets[taken++] - first;
}

void LocalServices::Route(const Listener& listener, const httplib::Request& req,
                          const std::string& body, httplib::Response& res) {
  bool inMemory = false;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    inMemory = files_.count(req.path) > 0;
  }
  const bool post = req.method == "POST";
  if (inMemory) {
    HandleFile(req, body, res);
  } else if (post && listener.report && req.path == report_.path) {
    if (!StallIfSilent(Endpoint::kReport, res)) HandleReport(body, res);
  } else if (!post && listener.cdn && StartsWith(req.path, cdn_.path) &&
             req.path.size() > cdn_.path.size()) {
    if (!StallIfSilent(Endpoint::kCdnConfig, res)) HandleCdn(req, res);
  } else if (!post && listener.dns && req.path == dns_.path && req.has_param(dnsKey_.c_str())) {
    if (!StallIfSilent(Endpoint::kHttpDns, res)) HandleDns(req, res);
  } else if (!post && listener.files) {
    HandleFile(req, body, res);
  } else {
    res.status = 404;
    res.set_content("not found\n", "text/plain");
  }
}

void LocalServices::HandleCdn(const httplib::Request& req, httplib::Response& res) {
  const std::string game = req.path.substr(cdn_.path.size());
  std::string domain;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    cdnRequests_.push_back(game);
    auto found = config_.preferredDomains.find(game);
    if (found == config_.preferredDomains.end()) found = config_.preferredDomains.find("*");
    if (found != config_.preferredDomains.end()) domain = found->second;
  }
  std::string body = "{\"code\":0,\"data\":{\"gameCode\":\"" + JsonEscape(game) + "\"";
  if (!domain.empty()) body += ",\"domain\":\"" + JsonEscape(domain) + "\"";
  body += "}}";
  res.set_content(body, "application/json");
  Log("[cdn] preferred domain for " + game + ": " + (domain.empty() ? "(none)" : domain));
  Notify();
}

void LocalServices::HandleDns(const httplib::Request& req, httplib::Response& res) {
  const std::string host = req.get_param_value(dnsKey_.c_str());
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    dnsRequests_.push_back(host);
  }
  std::string answer;
  if (host == config_.cdnHost) {
    answer = config_.dnsAnswer;
    if (answer.empty()) {
      answer = config_.filesHost;
      if (config_.resolvedPort == 0) answer += ":" + std::to_string(filesPort_.load());
      answer += " " + std::to_string(config_.dnsTtl) + "\n";
    }
  }
  // An unknown host gets an empty answer, which the module counts as a failed query.
  res.set_content(answer, "text/plain");
  std::string shown = answer.substr(0, answer.find('\n'));
  Log("[httpdns] " + host + " -> " + (shown.empty() ? "(nothing)" : shown));
  Notify();
}

void LocalServices::HandleReport(const std::string& body, httplib::Response& res) {
  FormPairs pairs;
  std::string eventType = "(unreadable)";
  if (ParseForm(body, pairs)) {
    eventType = FormValue(pairs, "eventType");
    if (eventType.empty()) eventType = "(no eventType)";
  }
  size_t number = 0;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    telemetry_.push_back(TelemetryRecord{eventType, body});
    number = telemetry_.size();
  }
  if (!config_.telemetryDir.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "%04zu-", number);
    std::string safeType = eventType;
    for (char& c : safeType) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
    }
    std::ofstream out(fs::path(config_.telemetryDir) / (name + safeType + ".form"),
                      std::ios::binary);
    out << body;
  }
  res.set_content("ok", "text/plain");
  Log("[telemetry] #" + std::to_string(number) + " " + eventType + " (" +
      std::to_string(body.size()) + " bytes)");
  Notify();
}

void LocalServices::HandleFile(const httplib::Request& req, const std::string& body,
                               httplib::Response& res) {
  // The request's own Range handling is done here (If-Range, faults, byte counts), so httplib
  // must not apply the parsed ranges a second time. The request object is not const in httplib.
  const_cast<httplib::Request&>(req).ranges.clear();
  const size_t index = AddRequest(req, body);
  auto answer = [&](int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain");
    Update(index, [status](RequestRecord& r) {
      r.status = status;
      r.done = true;
    });
    Log("[files] " + req.method + " " + req.path + " -> " + std::to_string(status));
  };

  std::shared_ptr<const std::string> content;  // a file in memory, else one in the folder
  Faults faults;
  std::string etag;
  std::string lastModified;
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    const auto found = files_.find(req.path);
    if (found != files_.end()) {
      content = found->second.content;
      faults = found->second.faults;
      etag = found->second.etag;
      lastModified = found->second.lastModified;
    }
  }
  // In the folder, leading elements: /m/<mirror>/ (a mirror name), /fault/<spec>/,
  // /<cdnHost>[:port]/ (the form the module gives URLs rewritten to a resolved address),
  // /as/<file>/ (serve <file> whatever follows: for names no file system here can hold). The
  // rest names the file.
  fs::path file = fs::path(config_.filesRoot);
  bool asked = false;  // the URL asks for faults
  if (!content) {
    const std::vector<std::string> parts = SplitPath(req.path);
    size_t at = 0;
    std::string servedAs;
    while (at < parts.size()) {
      if (parts[at] == "m" && at + 1 < parts.size()) {
        at += 2;
      } else if (parts[at] == "as" && at + 1 < parts.size()) {
        servedAs = parts[at + 1];
        at += 2;
      } else if (parts[at] == "fault" && at + 1 < parts.size()) {
        if (!faults.Parse(parts[at + 1])) return answer(400, "bad fault spec\n");
        asked = true;
        at += 2;
      } else if (!config_.cdnHost.empty() &&
                 (parts[at] == config_.cdnHost || StartsWith(parts[at], config_.cdnHost + ":"))) {
        at += 1;
      } else {
        break;
      }
    }
    if (at >= parts.size() || config_.filesRoot.empty()) return answer(404, "not found\n");
    std::vector<std::string> names(parts.begin() + static_cast<std::ptrdiff_t>(at), parts.end());
    if (!servedAs.empty()) names = {servedAs};
    for (const std::string& name : names) {
      if (name == ".." || name == ".") return answer(400, "bad path\n");
      file /= name;
    }
  }

  if (!TakeFault(req.path, faults)) {
    faults = Faults();
    asked = false;
  }
  if (faults.stallBeforeHeaders) {
    Stall([] { return true; });
    return answer(503, "stopping\n");
  }
  if (faults.delayMs > 0 && !Pause(std::chrono::milliseconds(faults.delayMs))) {
    return answer(503, "stopping\n");
  }
  if (faults.status != 0) return answer(faults.status, content ? *content : "injected failure\n");

  uint64_t size = 0;
  if (content) {
    size = content->size();
  } else {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return answer(404, "not found\n");
    size = fs::file_size(file, error);
    if (error) return answer(404, "not found\n");
    const auto modified = fs::last_write_time(file, error);
    const auto modifiedSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(modified.time_since_epoch()).count();
    // file_clock and system_clock differ by a fixed offset on Linux; the text only has to
    // change when the file changes.
    etag = "\"" + std::to_string(size) + "-" + std::to_string(modifiedSeconds) + "\"";
    lastModified = HttpDate(static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(
            (modified - fs::file_time_type::clock::now() + std::chrono::system_clock::now())
                .time_since_epoch())
            .count()));
  }

  std::string rangeHeader = faults.ignoreRange ? std::string() : req.get_header_value("Range");
  const std::string ifRange = req.get_header_value("If-Range");
  if (!ifRange.empty() &&
      (!faults.sendValidators || (ifRange != etag && ifRange != lastModified))) {
    rangeHeader.clear();
  }
  uint64_t first = 0;
  uint64_t last = 0;
  const RangeAnswer range = ParseRange(rangeHeader, size, first, last);
  if (!faults.ignoreRange) res.set_header("Accept-Ranges", "bytes");
  if (faults.sendValidators) {
    res.set_header("ETag", etag);
    res.set_header("Last-Modified", lastModified);
  }
  if (range == RangeAnswer::kUnsatisfiable) {
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    return answer(416, "range not satisfiable\n");
  }
  const uint64_t length = size == 0 ? 0 : last - first + 1;
  if (range == RangeAnswer::kPartial) {
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                        "/" + std::to_string(size));
  } else {
    res.status = 200;
    first = 0;
  }
  if (length > 0 && !faults.dropAt.empty()) {
    faults.dropAfter = std::min(faults.dropAfter, TakeDrop(req.path, faults, first, last));
  }
  const uint64_t declared =
      faults.declaredLength >= 0 ? static_cast<uint64_t>(faults.declaredLength) : length;
  const int status = res.status;
  Update(index, [status](RequestRecord& r) { r.status = status; });
  Log("[files] " + req.method + " " + req.path + (rangeHeader.empty() ? "" : " " + rangeHeader) +
      " -> " + std::to_string(status) + (asked ? " (fault)" : ""));
  if (req.method == "HEAD" || declared == 0) {
    Update(index, [](RequestRecord& r) { r.done = true; });
    res.set_content(std::string(), "application/octet-stream");
    if (declared > 0) res.set_header("Content-Length", std::to_string(declared));
    return;
  }

  struct Transfer {
    std::shared_ptr<const std::string> content;
    std::ifstream in;
    uint64_t sent = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  };
  auto transfer = std::make_shared<Transfer>();
  transfer->content = content;
  if (!content) {
    transfer->in.open(file, std::ios::binary);
    transfer->in.seekg(static_cast<std::streamoff>(first));
  }
  res.set_content_provider(
      static_cast<size_t>(declared), "application/octet-stream",
      [this, transfer, faults, first, length, index, path = req.path](
          size_t offset, size_t remaining, httplib::DataSink& sink) {
        if (offset != transfer->sent || transfer->sent >= length) return false;
        const uint64_t limit = std::min(faults.dropAfter, faults.stallAfter);
        if (transfer->sent >= limit) {
          const bool stall = faults.stallAfter <= faults.dropAfter;
          Log("[files] " + std::string(stall ? "stalling " : "dropping ") + path + " after " +
              std::to_string(transfer->sent) + " bytes");
          if (stall) Stall([&sink] { return sink.is_writable(); });
          return false;  // closes the connection mid-body
        }
        uint64_t chunk =
            std::min<uint64_t>({remaining, length - transfer->sent, limit - transfer->sent,
                                faults.chunkBytes > 0 ? faults.chunkBytes : kChunkBytes});
        if (faults.rate > 0) {
          // Keep the average at the rate: wait until the bytes already sent are due.
          const auto due =
              transfer->started + std::chrono::milliseconds(transfer->sent * 1000 / faults.rate);
          const auto now = std::chrono::steady_clock::now();
          if (due > now &&
              !Pause(std::chrono::duration_cast<std::chrono::milliseconds>(due - now))) {
            return false;
          }
          if (faults.chunkBytes == 0) {
            chunk = std::min<uint64_t>(chunk, std::max<uint64_t>(faults.rate / 20, 1024));
          }
        }
        const char* data = nullptr;
        std::vector<char> buffer;
        if (transfer->content) {
          data = transfer->content->data() + first + transfer->sent;
        } else {
          buffer.resize(static_cast<size_t>(chunk));
          transfer->in.read(buffer.data(), static_cast<std::streamsize>(chunk));
          chunk = static_cast<uint64_t>(transfer->in.gcount());
          data = buffer.data();
        }
        if (chunk == 0 || !sink.write(data, static_cast<size_t>(chunk))) return false;
        transfer->sent += chunk;
        Update(index, [chunk](RequestRecord& r) { r.bytesSent += chunk; });
        return true;
      },
      // Called when the answer is over, whichever way it ended.
      [this, index](bool) { Update(index, [](RequestRecord& r) { r.done = true; }); });
}

}  // namespace lumo::services
