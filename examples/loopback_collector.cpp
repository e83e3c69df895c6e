#include "examples/loopback_collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {

constexpr size_t kMaxRequestBytes = size_t{64} << 20;

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 503: return "Service Unavailable";
    default: return status < 400 ? "OK" : "Error";
  }
}

// The body of one request read from `connection`; nullopt when the peer
// closes early or the request is too large.
std::optional<platform::Bytes> readRequestBody(int connection) {
  std::string request;
  char chunk[16384];
  size_t headerEnd = std::string::npos;
  size_t expected = 0;
  for (;;) {
    if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + expected) break;
    ssize_t count = recv(connection, chunk, sizeof chunk, 0);
    if (count <= 0) return std::nullopt;
    request.append(chunk, static_cast<size_t>(count));
    if (headerEnd == std::string::npos && (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
      // libcurl writes the field as "Content-Length: <n>".
      size_t field = request.find("Content-Length: ");
      expected = field < headerEnd ? std::strtoul(request.c_str() + field + 16, nullptr, 10) : 0;
      if (expected > kMaxRequestBytes) return std::nullopt;
    }
    if (headerEnd == std::string::npos && request.size() > kMaxRequestBytes) return std::nullopt;
  }
  auto body = request.begin() + static_cast<std::ptrdiff_t>(headerEnd + 4);
  return platform::Bytes(body, body + static_cast<std::ptrdiff_t>(expected));
}

}  // namespace

LoopbackCollector::LoopbackCollector(Handler handler) : handler_(std::move(handler)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

LoopbackCollector::~LoopbackCollector() {
  // Wakes the blocked accept, which then fails and ends the thread.
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
}

std::string LoopbackCollector::url(const char* path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackCollector::serve() {
  for (;;) {
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    handle(connection);
    close(connection);
  }
}

void LoopbackCollector::handle(int connection) {
  std::optional<platform::Bytes> body = readRequestBody(connection);
  if (!body) return;
  Answer answer = handler_(*body);
  std::string reply = "HTTP/1.1 " + std::to_string(answer.status) + " " + reasonPhrase(answer.status) +
                      "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                      "\r\nConnection: close\r\n\r\n" + answer.body;
  send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
}
