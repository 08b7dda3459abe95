#include "support/http_test_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace lumo {
namespace testing {
namespace {

constexpr size_t kWriteChunk = 64 * 1024;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// "bytes=N-" or "bytes=N-M" -> first and last (last = UINT64_MAX when open).
bool ParseRange(const std::string& value, uint64_t* first, uint64_t* last) {
  if (value.compare(0, 6, "bytes=") != 0) return false;
  std::string spec = value.substr(6);
  size_t dash = spec.find('-');
  if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos) return false;
  try {
    *first = std::stoull(spec.substr(0, dash));
    std::string end = spec.substr(dash + 1);
    *last = end.empty() ? UINT64_MAX : std::stoull(end);
  } catch (...) {
    return false;
  }
  return *last >= *first;
}

std::string ContentTag(const std::string& content, uint64_t version) {
  char text[64];
  std::snprintf(text, sizeof text, "\"%zx-%zx-%llx\"", std::hash<std::string>()(content),
                content.size(), static_cast<unsigned long long>(version));
  return text;
}

std::string ModifiedDate(uint64_t version) {
  // A distinct date per version of a file: seconds and minutes count the versions.
  char text[64];
  std::snprintf(text, sizeof text, "Mon, 01 Jan 2024 %02u:%02u:%02u GMT",
                static_cast<unsigned>((version / 3600) % 24),
                static_cast<unsigned>((version / 60) % 60), static_cast<unsigned>(version % 60));
  return text;
}

}  // namespace

std::string HttpTestServer::Request::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsNoCase(header.first, name)) return header.second;
  }
  return std::string();
}

bool HttpTestServer::Request::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsNoCase(header.first, name)) return true;
  }
  return false;
}

HttpTestServer::HttpTestServer() : server_(std::make_unique<httplib::Server>()) {}

HttpTestServer::~HttpTestServer() { Stop(); }

bool HttpTestServer::Start(int port) {
  if (thread_.joinable()) return true;
  server_->set_keep_alive_timeout(1);
  server_->set_read_timeout(2, 0);
  server_->set_write_timeout(2, 0);
  auto route = [this](const httplib::Request& raw, httplib::Response& response) {
    Route(raw, raw.body, response);
  };
  // POST bodies are read through a content reader: the library's plain handlers refuse
  // URL-encoded forms above 8 KiB with 413, and telemetry forms may be larger.
  auto routeWithBody = [this](const httplib::Request& raw, httplib::Response& response,
                              const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, size_t length) {
      body.append(data, length);
      return true;
    });
    Route(raw, body, response);
  };
  server_->Get(".*", route);
  server_->Post(".*", routeWithBody);
  server_->Put(".*", route);
  server_->Delete(".*", route);
  if (port > 0) {
    if (!server_->bind_to_port("127.0.0.1", port)) return false;
    port_ = port;
  } else {
    port_ = server_->bind_to_any_port("127.0.0.1");
  }
  if (port_ <= 0) return false;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is ignored until the accept loop runs, so Start returns only once it does.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void HttpTestServer::Route(const httplib::Request& raw, const std::string& body,
                           httplib::Response& response) {
  {
    // Ranges are answered here, not by the library, so faults can shape them.
    const_cast<httplib::Request&>(raw).ranges.clear();
    Request request;
    request.method = raw.method;
    request.path = raw.path;
    request.target = raw.target;
    for (const auto& header : raw.headers) request.headers.emplace(header.first, header.second);
    request.body = body;
    {
      std::lock_guard<std::mutex> lock(lock_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    Serve(request, raw, response);
  }
}

void HttpTestServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

std::string HttpTestServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::AddFile(const std::string& path, std::string content) {
  AddFile(path, std::move(content), FileFaults());
}

void HttpTestServer::AddFile(const std::string& path, std::string content, FileFaults faults) {
  std::lock_guard<std::mutex> lock(lock_);
  uint64_t version = ++versions_;
  File& file = files_[path];
  file.etag = ContentTag(content, version);
  file.lastModified = ModifiedDate(version);
  file.content = std::make_shared<const std::string>(std::move(content));
  file.faults = faults;
  file.dropsTaken = 0;
}

void HttpTestServer::AddSharedFile(const std::string& path,
                                   std::shared_ptr<const std::string> content) {
  AddSharedFile(path, std::move(content), FileFaults());
}

void HttpTestServer::AddSharedFile(const std::string& path,
                                   std::shared_ptr<const std::string> content, FileFaults faults) {
  std::lock_guard<std::mutex> lock(lock_);
  uint64_t version = ++versions_;
  File& file = files_[path];
  file.etag = ContentTag(*content, version);
  file.lastModified = ModifiedDate(version);
  file.content = std::move(content);
  file.faults = faults;
  file.dropsTaken = 0;
}

void HttpTestServer::SetFaults(const std::string& path, FileFaults faults) {
  std::lock_guard<std::mutex> lock(lock_);
  files_[path].faults = faults;
  files_[path].dropsTaken = 0;
}

std::string HttpTestServer::ETagOf(const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = files_.find(path);
  return it == files_.end() ? std::string() : it->second.etag;
}

void HttpTestServer::SetHandler(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(lock_);
  handlers_[path] = std::move(handler);
}

void HttpTestServer::SetStall(const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  stalledPaths_.insert(path);
}

void HttpTestServer::SetReply(const std::string& path, int status, std::string body) {
  SetHandler(path, [status, body](const Request&) {
    Reply reply;
    reply.status = status;
    reply.body = body;
    return reply;
  });
}

std::vector<HttpTestServer::Request> HttpTestServer::Requests(const std::string& path) {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<Request> out;
  for (const auto& request : requests_) {
    if (path.empty() || request.path == path) out.push_back(request);
  }
  return out;
}

size_t HttpTestServer::RequestCount(const std::string& path) { return Requests(path).size(); }

bool HttpTestServer::WaitForRequests(const std::string& path, size_t count,
                                     std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& request : requests_) {
      if (path.empty() || request.path == path) ++seen;
    }
    return seen >= count;
  });
}

bool HttpTestServer::WaitForStall(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [this] { return stalls_ > 0; });
}

bool HttpTestServer::WaitStopping(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [this] { return stopping_; });
}

void HttpTestServer::WaitStoppingForever() {
  std::unique_lock<std::mutex> lock(lock_);
  ++stalls_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return stopping_; });
}

void HttpTestServer::Serve(const Request& request, const httplib::Request& raw,
                           httplib::Response& response) {
  Handler handler;
  File file;
  bool found = false;
  bool stall = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    stall = stalledPaths_.count(request.path) > 0;
    auto h = handlers_.find(request.path);
    if (h != handlers_.end()) {
      handler = h->second;
    } else {
      auto f = files_.find(request.path);
      if (f != files_.end() && f->second.content) {
        file = f->second;
        found = true;
      }
    }
  }
  if (stall) {
    WaitStoppingForever();
    response.status = 503;
    return;
  }
  if (handler) {
    Reply reply = handler(request);
    response.status = reply.status;
    for (const auto& header : reply.headers) response.set_header(header.first, header.second);
    response.set_content(reply.body, reply.contentType.c_str());
    return;
  }
  if (!found || request.method != "GET") {
    response.status = 404;
    response.set_content("not found", "text/plain");
    return;
  }
  ServeFile(request.path, file, raw, response);
}

int64_t HttpTestServer::TakeDrop(const std::string& path, uint64_t first, uint64_t last) {
  std::lock_guard<std::mutex> lock(lock_);
  auto f = files_.find(path);
  if (f == files_.end()) return -1;
  File& file = f->second;
  const std::vector<uint64_t>& offsets = file.faults.dropAtOffsets;
  // Offsets the answer starts at or beyond are passed: the data before them already arrived.
  while (file.dropsTaken < offsets.size() && offsets[file.dropsTaken] <= first) ++file.dropsTaken;
  if (file.dropsTaken >= offsets.size() || offsets[file.dropsTaken] > last) return -1;
  return static_cast<int64_t>(offsets[file.dropsTaken++] - first);
}

void HttpTestServer::ServeFile(const std::string& path, const File& file,
                               const httplib::Request& raw, httplib::Response& response) {
  FileFaults faults = file.faults;
  if (faults.stallBeforeHeaders) {
    WaitStoppingForever();
    response.status = 503;
    return;
  }
  if (faults.status != 0) {
    response.status = faults.status;
    response.set_content("error " + std::to_string(faults.status), "text/plain");
    return;
  }

  const uint64_t size = file.content->size();
  uint64_t first = 0;
  uint64_t last = size == 0 ? 0 : size - 1;
  bool partial = false;
  if (!faults.ignoreRange && raw.has_header("Range")) {
    uint64_t wantFirst = 0, wantLast = 0;
    bool honour = true;
    if (raw.has_header("If-Range")) {
      std::string validator = raw.get_header_value("If-Range");
      honour = faults.sendValidators &&
               (validator == file.etag || validator == file.lastModified);
    }
    if (honour && ParseRange(raw.get_header_value("Range"), &wantFirst, &wantLast)) {
      if (wantFirst >= size) {
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
      }
      first = wantFirst;
      last = std::min(wantLast, size - 1);
      partial = true;
    }
  }
  uint64_t available = size == 0 ? 0 : last - first + 1;
  if (!faults.dropAtOffsets.empty() && available > 0) {
    const int64_t drop = TakeDrop(path, first, last);
    if (drop >= 0 && (faults.dropAfterBytes < 0 || drop < faults.dropAfterBytes)) {
      faults.dropAfterBytes = drop;
    }
  }

  if (faults.sendValidators) {
    response.set_header("ETag", file.etag);
    response.set_header("Last-Modified", file.lastModified);
  }
  if (!faults.ignoreRange) response.set_header("Accept-Ranges", "bytes");
  if (partial) {
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(last) + "/" + std::to_string(size));
  } else {
    response.status = 200;
  }
  uint64_t declared = faults.declaredLength >= 0 ? static_cast<uint64_t>(faults.declaredLength)
                                                 : available;
  if (declared == 0) {
    response.set_content("", "application/octet-stream");
    return;
  }
  auto content = file.content;
  response.set_content_provider(
      static_cast<size_t>(declared), "application/octet-stream",
      [this, content, first, available, faults](size_t offset, size_t length,
                                                httplib::DataSink& sink) {
        if (faults.stallAfterBytes >= 0 && offset >= static_cast<size_t>(faults.stallAfterBytes)) {
          WaitStoppingForever();
          return false;
        }
        if (faults.dropAfterBytes >= 0 && offset >= static_cast<size_t>(faults.dropAfterBytes)) {
          return false;  // the connection closes mid-body
        }
        if (offset >= available) return false;  // announced more than there is
        size_t n = std::min<size_t>({length, static_cast<size_t>(available - offset), kWriteChunk});
        if (faults.stallAfterBytes >= 0) {
          n = std::min(n, static_cast<size_t>(faults.stallAfterBytes) - offset);
        }
        if (faults.dropAfterBytes >= 0) {
          n = std::min(n, static_cast<size_t>(faults.dropAfterBytes) - offset);
        }
        if (faults.slowChunkBytes > 0) {
          n = std::min(n, faults.slowChunkBytes);
          if (offset > 0 && WaitStopping(faults.slowInterval)) return false;
        }
        return sink.write(content->data() + first + offset, n);
      });
}

}  // namespace testing
}  // namespace lumo
