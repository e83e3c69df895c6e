#include "tests/support/loopback_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <strings.h>

namespace testing_support {
namespace {

// A stalled client must not hang a test: every read waits at most this long.
constexpr int kReadTimeoutMs = 5000;
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;

int bindLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind on 127.0.0.1 failed");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool readSome(int fd, std::string* buffer) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, kReadTimeoutMs) <= 0) return false;
  char chunk[16384];
  ssize_t count = recv(fd, chunk, sizeof chunk, 0);
  if (count <= 0) return false;
  buffer->append(chunk, static_cast<size_t>(count));
  return true;
}

void sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    data.remove_prefix(static_cast<size_t>(sent));
  }
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

}  // namespace

std::string LoopbackHttpServer::Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (sameName(key, name)) return value;
  }
  return {};
}

size_t LoopbackHttpServer::Request::headerCount(std::string_view name) const {
  size_t count = 0;
  for (const auto& entry : headers) count += sameName(entry.first, name) ? 1 : 0;
  return count;
}

LoopbackHttpServer::LoopbackHttpServer() {
  listener_ = bindLoopback(&port_);
  if (listen(listener_, 16) != 0 || pipe2(wakePipe_, O_CLOEXEC) != 0) {
    close(listener_);
    throw std::runtime_error("listen failed");
  }
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  char stop = 's';
  (void)!write(wakePipe_[1], &stop, 1);
  thread_.join();
  close(listener_);
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

std::string LoopbackHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackHttpServer::setReply(Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = std::move(reply);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

uint16_t LoopbackHttpServer::closedPort() {
  uint16_t port = 0;
  close(bindLoopback(&port));
  return port;
}

void LoopbackHttpServer::serve() {
  for (;;) {
    pollfd waiting[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (poll(waiting, 2, -1) < 0) continue;
    if (waiting[1].revents) return;
    if (!(waiting[0].revents & POLLIN)) continue;
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    close(connection);
  }
}

void LoopbackHttpServer::handle(int connection) {
  std::string buffer;
  size_t headerEnd;
  while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > kMaxHeaderBytes || !readSome(connection, &buffer)) return;
  }

  Request request;
  std::string_view head(buffer.data(), headerEnd);
  size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  size_t space1 = requestLine.find(' ');
  size_t space2 = requestLine.rfind(' ');
  if (space1 == std::string_view::npos || space2 == space1) return;
  request.method = requestLine.substr(0, space1);
  request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
  request.version = requestLine.substr(space2 + 1);
  while (lineEnd != std::string_view::npos) {
    size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string_view line = head.substr(start, lineEnd == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : lineEnd - start);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }

  size_t bodyLength = std::strtoull(request.header("Content-Length").c_str(), nullptr, 10);
  if (bodyLength > kMaxBodyBytes) return;
  if (sameName(request.header("Expect"), "100-continue")) {
    sendAll(connection, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  std::string body = buffer.substr(headerEnd + 4);
  while (body.size() < bodyLength) {
    if (!readSome(connection, &body)) return;
  }
  request.body.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(bodyLength));

  Reply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    reply = reply_;
  }
  if (reply.dropConnection) return;
  std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                         reasonPhrase(reply.status) + "\r\n";
  for (const auto& [key, value] : reply.headers) response += key + ": " + value + "\r\n";
  response += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  response += "Connection: close\r\n\r\n";
  response += reply.body;
  sendAll(connection, response);
}

}  // namespace testing_support
