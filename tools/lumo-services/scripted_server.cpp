#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace lumo::services {
namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 1024 * 1024;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  const size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string RawRequest::Header(const std::string& lowerName) const {
  const auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

ScriptedServer::ScriptedServer(Responder responder) : responder_(std::move(responder)) {}

ScriptedServer::~ScriptedServer() { Stop(); }

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RawRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(lock_);
  return requests_;
}

std::string ScriptedServer::Head(int status,
                                 const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
  for (const auto& header : headers) head += header.first + ": " + header.second + "\r\n";
  return head + "\r\n";
}

bool ScriptedServer::Start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
  return true;
}

void ScriptedServer::Stop() {
  std::list<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_ && !acceptor_.joinable()) return;
    stopping_ = true;
    // Wakes accept() and every blocked recv() or send().
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  stopped_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(lock_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void ScriptedServer::Accept() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) continue;
    open_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

bool ScriptedServer::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(lock_);
  if (duration == ScriptStep::kHold) {
    stopped_.wait(lock, [this] { return stopping_; });
    return false;
  }
  return !stopped_.wait_for(lock, duration, [this] { return stopping_; });
}

void ScriptedServer::Serve(int fd) {
  // A client that never finishes its request cannot hold the thread past a stop or 10 s.
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string received;
  char buffer[4096];
  size_t headEnd = std::string::npos;
  while ((headEnd = received.find("\r\n\r\n")) == std::string::npos &&
         received.size() < kMaxHeadBytes) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  RawRequest request;
  bool complete = headEnd != std::string::npos;
  if (complete) {
    size_t lineEnd = received.find("\r\n");
    const std::string first = received.substr(0, lineEnd);
    const size_t space = first.find(' ');
    request.method = first.substr(0, space);
    request.target = first.substr(space + 1, first.rfind(' ') - space - 1);
    while (lineEnd < headEnd) {
      const size_t next = received.find("\r\n", lineEnd + 2);
      const std::string line = received.substr(lineEnd + 2, next - lineEnd - 2);
      const size_t colon = line.find(':');
      if (colon != std::string::npos) {
        request.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
      }
      lineEnd = next;
    }
    // A body is read and dropped: what matters is what the client is answered.
    size_t bodyLength = std::min<size_t>(
        std::strtoull(request.Header("content-length").c_str(), nullptr, 10), kMaxBodyBytes);
    size_t have = received.size() - headEnd - 4;
    while (have < bodyLength) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    {
      std::lock_guard<std::mutex> lock(lock_);
      requests_.push_back(request);
    }
    for (const ScriptStep& step : responder_(request)) {
      if (!step.bytes.empty() && !SendAll(fd, step.bytes)) break;
      if (step.pauseAfter != std::chrono::milliseconds(0) && !Pause(step.pauseAfter)) break;
    }
  }
  std::lock_guard<std::mutex> lock(lock_);
  open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
  ::close(fd);
}

}  // namespace lumo::services
