// A hostile server on 127.0.0.1: each connection is answered with a script of raw bytes and
// pauses, for the faults no well-behaved HTTP library commits (header lines dripping in, endless
// interim answers, lying lengths, ranges of another file, bodies in encodings nobody asked for).
//
//   ScriptedServer server([](const RawRequest& request) {
//     return Script{{ScriptedServer::Head(200, {{"Content-Length", "91"}}) + "123456789"},
//                   {ScriptStep::kHold}};
//   });
//   server.Start();  ... server.Url("/x") ...
//
// After its last step the connection is closed. Stop ends every pause and hold at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumo::services {

struct RawRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string Header(const std::string& lowerName) const;
};

struct ScriptStep {
  static constexpr std::chrono::milliseconds kHold{-1};  // wait until the server stops
  std::string bytes;
  std::chrono::milliseconds pauseAfter{0};
};
using Script = std::vector<ScriptStep>;

class ScriptedServer {
 public:
  using Responder = std::function<Script(const RawRequest&)>;

  explicit ScriptedServer(Responder responder);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Listens on 127.0.0.1 with a port chosen by the system; false when it cannot.
  bool Start();
  void Stop();

  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::vector<RawRequest> Requests() const;

  // A status line and headers, ended by the empty line.
  static std::string Head(int status,
                          const std::vector<std::pair<std::string, std::string>>& headers);

 private:
  void Accept();
  void Serve(int fd);
  // Sleeps up to duration (for ever with kHold); false when stopping.
  bool Pause(std::chrono::milliseconds duration);

  const Responder responder_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;

  mutable std::mutex lock_;
  std::condition_variable stopped_;
  bool stopping_ = false;             // guarded by lock_
  std::vector<RawRequest> requests_;  // guarded by lock_
  std::list<std::thread> workers_;    // guarded by lock_; joined by Stop
  std::vector<int> open_;             // guarded by lock_; connections being served
};

}  // namespace lumo::services
