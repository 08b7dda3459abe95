// A local HTTP server for tests: cpp-httplib on 127.0.0.1 with a port chosen by the system.
//
// It serves in-memory files (Range, If-Range, ETag, Last-Modified) with switchable faults, answers
// paths with test-supplied handlers, and records every request it receives. Stop never hangs:
// stalled answers wake up and end when the server stops.
//
//   HttpTestServer server;
//   ASSERT_TRUE(server.Start());
//   server.AddFile("/data.bin", bytes);
//   server.SetHandler("/post", [](const HttpTestServer::Request&) {
//     return HttpTestServer::Reply{200, "ok"};
//   });
//   ... server.Url("/data.bin") ...
//   server.WaitForRequests("/post", 1, std::chrono::seconds(10));
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace lumo {
namespace testing {

class HttpTestServer {
 public:
  // Faults of a served file; all off by default.
  struct FileFaults {
    int status = 0;                   // answer this status (e.g. 404, 500) with a short body
    bool ignoreRange = false;         // answer 200 with the whole file to every Range request
    int64_t dropAfterBytes = -1;      // close the connection after this many body bytes
    int64_t stallAfterBytes = -1;     // send this many body bytes, then send nothing until Stop
    bool stallBeforeHeaders = false;  // send nothing at all until Stop
    size_t slowChunkBytes = 0;        // with slowInterval: this many bytes per interval
    std::chrono::milliseconds slowInterval{0};
    int64_t declaredLength = -1;      // Content-Length to announce instead of the true length
    bool sendValidators = true;       // send ETag and Last-Modified
    // Absolute offsets in the file at which the connection closes, each once: an answer that
    // starts before the next unused offset and reaches it closes there (a resume starting at
    // the offset goes on to the following one).
    std::vector<uint64_t> dropAtOffsets;
  };

  // A request as the server received it.
  struct Request {
    std::string method;
    std::string path;    // without the query
    std::string target;  // path and query as sent
    std::multimap<std::string, std::string> headers;  // names as sent
    std::string body;
    // The first header of that name (case-insensitive), or "".
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
  };

  // What a handler answers.
  struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    std::vector<std::pair<std::string, std::string>> headers;
  };
  using Handler = std::function<Reply(const Request&)>;

  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Binds 127.0.0.1 on the port (0: a free one) and serves on a thread of its own; false when it
  // cannot (a given port may be taken).
  bool Start(int port = 0);
  // Wakes every stalled answer, stops serving and joins the server's threads. Idempotent.
  void Stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;

  // Serves `content` at `path` (GET). Replacing a file's content gives it a new ETag and
  // Last-Modified, as a changed file on a mirror would have.
  void AddFile(const std::string& path, std::string content);
  void AddFile(const std::string& path, std::string content, FileFaults faults);
  // The same, sharing one copy of the content between many paths (long runs, big files).
  void AddSharedFile(const std::string& path, std::shared_ptr<const std::string> content);
  void AddSharedFile(const std::string& path, std::shared_ptr<const std::string> content,
                     FileFaults faults);
  void SetFaults(const std::string& path, FileFaults faults);
  // The ETag the file is served with (quotes included).
  std::string ETagOf(const std::string& path);

  // Answers every method at `path` with the handler (takes precedence over files).
  void SetHandler(const std::string& path, Handler handler);
  // Shorthand: always answer this status and body.
  void SetReply(const std::string& path, int status, std::string body = std::string());
  // Answers nothing at all at `path`, whatever the method, until Stop (counts as a stall).
  void SetStall(const std::string& path);

  // Requests received so far, all or for one path.
  std::vector<Request> Requests(const std::string& path = std::string());
  size_t RequestCount(const std::string& path = std::string());
  // Waits until `count` requests for `path` ("" = any) have been received; false on time-out.
  bool WaitForRequests(const std::string& path, size_t count, std::chrono::milliseconds timeout);
  // Waits until a file answer is stalled (has sent what it will send before the stall).
  bool WaitForStall(std::chrono::milliseconds timeout);

 private:
  struct File {
    std::shared_ptr<const std::string> content;
    std::string etag;
    std::string lastModified;
    FileFaults faults;
    size_t dropsTaken = 0;  // offsets of faults.dropAtOffsets used up so far
  };
  void Route(const httplib::Request& raw, const std::string& body, httplib::Response& response);
  void Serve(const Request& request, const httplib::Request& raw, httplib::Response& response);
  void ServeFile(const std::string& path, const File& file, const httplib::Request& raw,
                 httplib::Response& response);
  // The next scheduled drop inside [first, last] of the file at path, relative to first and
  // used up; -1 when there is none.
  int64_t TakeDrop(const std::string& path, uint64_t first, uint64_t last);
  // Waits for Stop or the deadline; true when the server is stopping.
  bool WaitStopping(std::chrono::milliseconds timeout);
  void WaitStoppingForever();

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;                   // guarded by lock_
  size_t stalls_ = 0;                       // guarded by lock_
  uint64_t versions_ = 0;                   // guarded by lock_
  std::map<std::string, File> files_;       // guarded by lock_
  std::map<std::string, Handler> handlers_; // guarded by lock_
  std::set<std::string> stalledPaths_;      // guarded by lock_
  std::vector<Request> requests_;           // guarded by lock_
};

}  // namespace testing
}  // namespace lumo
