#include "sdk_core/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <string>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "sdk_core/gzip.h"
#include "sdk_core/logger.h"
#include "tests/support/loopback_http_server.h"

using testing_support::LoopbackHttpServer;

namespace {

struct Completion {
  std::optional<VADErivoro::Response> response;
  std::optional<platform::Bytes> data;
  platform::ErrorRef error;
  bool onExpectedQueue = false;
};

// Posts and waits for the handler; `expectedQueue` null means the main queue.
Completion post(VADErivoro& client, const std::string& url, const platform::Bytes& payload,
                std::shared_ptr<platform::DispatchQueue> queue) {
  std::promise<Completion> done;
  auto expected = queue;
  client.postURL(url, payload, queue, false,
                 [&done, expected](std::optional<VADErivoro::Response> response,
                                   std::optional<platform::Bytes> data, platform::ErrorRef error) {
                   bool onQueue = expected ? expected->isCurrent() : platform::isMainThread();
                   done.set_value({std::move(response), std::move(data), std::move(error), onQueue});
                 });
  auto future = done.get_future();
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "completion handler never ran";
    std::abort();  // the handler still refers to `done`
  }
  return future.get();
}

platform::Bytes bytesOf(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

}  // namespace

TEST(VADErivoroTest, PostsTheGzippedPayloadWithItsHeaders) {
  LoopbackHttpServer server;
  server.setReply({201, {{"X-Answer", "yes"}}, "stored"});
  VADErivoro client("127.0.0.1");
  auto queue = platform::DispatchQueue::create("test.completion");
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "event=" + std::to_string(i) + "&";
  platform::Bytes payload = bytesOf(text);

  Completion result = post(client, server.url("/a?x=1"), payload, queue);
  ASSERT_FALSE(result.error) << result.error->description();
  EXPECT_TRUE(result.onExpectedQueue);
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 201);
  EXPECT_EQ(result.response->header("x-answer"), "yes");
  EXPECT_EQ(result.response->url, server.url("/a?x=1"));
  EXPECT_EQ(result.data, bytesOf("stored"));

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/a?x=1");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
  EXPECT_EQ(request.headerCount("Content-Length"), 1u);
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  EXPECT_LT(request.body.size(), payload.size());
  EXPECT_EQ(gul_dataByInflatingGzippedData(request.body), payload);
}

TEST(VADErivoroTest, AnyStatusIsAnAnswerAndMainQueueIsTheDefault) {
  LoopbackHttpServer server;
  server.setReply({503, {}, ""});
  Completion result;
  {
    // The client may go away while its transfer runs.
    VADErivoro client("127.0.0.1");
    client.setTimeoutInterval(5);
    EXPECT_EQ(client.timeoutInterval(), 5);
    result = post(client, server.url(), bytesOf("x"), nullptr);
  }
  EXPECT_FALSE(result.error);
  EXPECT_TRUE(result.onExpectedQueue);
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 503);
  ASSERT_TRUE(result.data);
  EXPECT_TRUE(result.data->empty());
  // An empty payload is still a valid (empty) gzip body.
  server.setReply({204, {}, ""});
  VADErivoro client("127.0.0.1");
  result = post(client, server.url(), {}, nullptr);
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 204);
  EXPECT_EQ(gul_dataByInflatingGzippedData(server.requests().back().body, nullptr),
            platform::Bytes{});
}

TEST(VADErivoroTest, TimeoutIntervalDefaultsTo60Seconds) {
  VADErivoro client("host");
  EXPECT_EQ(client.timeoutInterval(), 60);
  client.setTimeoutInterval(12.5);
  EXPECT_EQ(client.timeoutInterval(), 12.5);
  client.setTimeoutInterval(std::nan(""));
  EXPECT_EQ(client.timeoutInterval(), 60);
  client.setTimeoutInterval(-1);
  EXPECT_EQ(client.timeoutInterval(), 60);
  EXPECT_EQ(client.reachabilityHost(), "host");
}

TEST(VADErivoroTest, ClosedPortGivesAConnectionError) {
  VADErivoro client("127.0.0.1");
  auto queue = platform::DispatchQueue::create("test.completion");
  std::string url = "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/a";
  Completion result = post(client, url, bytesOf("payload"), queue);
  EXPECT_TRUE(result.onExpectedQueue);
  EXPECT_FALSE(result.response);
  EXPECT_FALSE(result.data);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(result.error->code(), -1004);
  EXPECT_FALSE(result.error->localizedDescription().empty());
}

TEST(VADErivoroTest, RequestsThatCannotBeCreatedFailWithTheirCodeAndLogLine) {
  struct Case {
    std::string url;
    long code;
  };
  const Case cases[] = {
      {"", 1},
      {"not a url", 4},
      {"http://exa mple.com/", 4},
      {"file:///etc/passwd", 4},
      {"ftp://127.0.0.1/", 4},
      {"http://127.0.0.1/\xFF\xFE", 4},  // invalid UTF-8, not percent-encoded
      {"http://127.0.0.1/a\r\nX-Injected: 1", 4},
  };
  VADErivoro client("127.0.0.1");
  auto queue = platform::DispatchQueue::create("test.completion");
  for (const Case& c : cases) {
    platform::LogCapture capture;
    Completion result = post(client, c.url, bytesOf("payload"), queue);
    EXPECT_TRUE(result.onExpectedQueue) << c.url;
    EXPECT_FALSE(result.response) << c.url;
    EXPECT_FALSE(result.data) << c.url;
    ASSERT_TRUE(result.error) << c.url;
    EXPECT_EQ(result.error->domain(), "com.gul.network.ErrorDomain");
    EXPECT_EQ(result.error->code(), c.code) << c.url;
    EXPECT_EQ(result.error->userInfo().at("Context"),
              platform::Object("Failed to create network request"));

    GULLoggerFlush();
    auto lines = capture.nslogLines();
    ASSERT_EQ(lines.size(), 1u) << c.url;
    std::string prefix = "11.3.0 - <VavIradadovozo>[I-ACS900002] Failed to create network "
                         "request. Code, error: " + std::to_string(c.code) + ", Error Domain=com.gul.network.ErrorDomain";
    EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
  }
}
