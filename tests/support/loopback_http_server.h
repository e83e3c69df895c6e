// A small HTTP/1.1 server on 127.0.0.1 for tests of the HTTP client.
//
// It listens on a free port from construction to destruction, serves one
// connection at a time on its own thread, records each request (request
// line, headers, body) and answers every request with the configured reply,
// closing the connection afterwards. It never listens on another interface.
//
// All members may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/object.h"

namespace testing_support {

class LoopbackHttpServer {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  struct Request {
    std::string method;
    std::string target;
    std::string version;
    Headers headers;
    platform::Bytes body;

    // The first value of the header named `name` (case-insensitive); empty
    // when absent.
    std::string header(std::string_view name) const;
    size_t headerCount(std::string_view name) const;
  };

  struct Reply {
    int status = 200;
    Headers headers;
    std::string body;
    // Close the connection after reading the request, without answering.
    bool dropConnection = false;
  };

  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port><path>".
  std::string url(std::string_view path = "/") const;

  void setReply(Reply reply);
  // Requests recorded so far, in arrival order.
  std::vector<Request> requests() const;

  // A port on 127.0.0.1 that nothing listens on (bound, then released).
  static uint16_t closedPort();

 private:
  void serve();
  void handle(int connection);

  int listener_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  Reply reply_;
  std::vector<Request> requests_;
  std::thread thread_;
};

}  // namespace testing_support
