// `LoopbackCollector`: a small HTTP/1.1 server on 127.0.0.1 for the example
// program, standing in for the services it talks to.
//
// It listens on a free port from construction to destruction and serves one
// connection at a time on its own thread: it reads one request (headers and
// a body of "Content-Length" bytes, at most 64 MiB), hands the body to the
// handler, writes the handler's answer and closes the connection. It never
// listens on another interface. The handler runs on the collector's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/object.h"

class LoopbackCollector {
 public:
  struct Answer {
    int status = 200;
    std::string body;
  };
  using Handler = std::function<Answer(const platform::Bytes& body)>;

  // Throws std::runtime_error when it cannot listen.
  explicit LoopbackCollector(Handler handler);
  ~LoopbackCollector();
  LoopbackCollector(const LoopbackCollector&) = delete;
  LoopbackCollector& operator=(const LoopbackCollector&) = delete;

  // "http://127.0.0.1:<port><path>".
  std::string url(const char* path) const;

 private:
  void serve();
  void handle(int connection);

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};
