#include "examples/loopback_collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

// Sends `pieces` one write each on a new connection to the collector, ends
// the request side, and answers everything it sends back until it closes.
std::string exchange(const LoopbackCollector& collector, const std::vector<std::string>& pieces) {
  const std::string url = collector.url("");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
  int connection = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  for (const std::string& piece : pieces) send(connection, piece.data(), piece.size(), MSG_NOSIGNAL);
  shutdown(connection, SHUT_WR);
  std::string answer;
  char chunk[4096];
  for (ssize_t count; (count = recv(connection, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, count);
  close(connection);
  return answer;
}

TEST(LoopbackCollectorTest, ReadsBodiesWholeAndAnswersWithTheHandlersStatus) {
  std::vector<std::string> bodies;
  LoopbackCollector collector([&](const platform::Bytes& body) {
    bodies.emplace_back(body.begin(), body.end());
    return LoopbackCollector::Answer{bodies.size() == 1 ? 204 : 503, bodies.size() == 1 ? "" : "busy"};
  });
  const std::string body(40'000, 'b');
  // Headers and body in separate writes, the body itself split.
  const std::string first = exchange(
      collector, {"POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 40000\r\n\r\n", body.substr(0, 123), body.substr(123)});
  EXPECT_EQ(first.rfind("HTTP/1.1 204 ", 0), 0u) << first;
  EXPECT_NE(first.find("Content-Length: 0\r\n"), std::string::npos);
  // No Content-Length: an empty body, the bytes after the headers ignored.
  const std::string second = exchange(collector, {"POST /a HTTP/1.1\r\nHost: x\r\n\r\n"});
  EXPECT_EQ(second.rfind("HTTP/1.1 503 ", 0), 0u) << second;
  EXPECT_EQ(second.substr(second.size() - 4), "busy");
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(bodies[0], body);
  EXPECT_EQ(bodies[1], "");
}

TEST(LoopbackCollectorTest, RefusesUnansweredWhatItCannotRead) {
  std::atomic<int> calls{0};
  LoopbackCollector collector([&](const platform::Bytes&) {
    ++calls;
    return LoopbackCollector::Answer{};
  });
  // A body announced past the collector's bound, a body cut short, headers cut short.
  EXPECT_EQ(exchange(collector, {"POST /a HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\nxx"}), "");
  EXPECT_EQ(exchange(collector, {"POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\nxxx"}), "");
  EXPECT_EQ(exchange(collector, {"POST /a HTTP/1.1\r\nContent-"}), "");
  EXPECT_EQ(calls.load(), 0);
  // It still serves the next request.
  EXPECT_EQ(exchange(collector, {"POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"}).rfind("HTTP/1.1 200 ", 0), 0u);
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
