// `VADErivoro`: the SDK's HTTP client, used to upload measurement batches and
// to fetch configuration and experiment answers.
//
// `postURL` sends a gzip-compressed POST body on libcurl. The transfer runs
// on the global background queue, never on the caller's thread; its outcome
// reaches the completion handler on the queue the caller names (the main
// queue when none). Each handler runs exactly once.
//
// Failures before the transfer starts are errors of "com.gul.network.ErrorDomain"
// whose user info maps "Context" to "Failed to create network request":
//   1  the URL is empty;
//   3  the payload cannot be compressed;
//   4  the request cannot be created or started (an unparseable URL, one
//      with bytes outside printable ASCII, a scheme other than http or
//      https, no transfer handle).
// They are logged first (code 900002, "Failed to create network request.
// Code, error"). A transfer that fails on the way (no server listening, a
// time-out, a lost connection, an answer too large) gives an error of
// "NSURLErrorDomain" with the platform's code for that case and the
// transport's reason as its description. Any HTTP status is an answer, not
// an error: the handler gets the response and the body.
//
// Thread-safe. A client may be destroyed while its transfers run: they
// hold what they need and still call their handlers.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/object.h"

inline constexpr const char* kGULNetworkErrorDomain = "com.gul.network.ErrorDomain";
inline constexpr const char* kGULNetworkErrorContext = "Context";
inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";

enum GULNetworkErrorCode : long {
  GULNetworkErrorCodeInvalidURL = 1,
  GULNetworkErrorCodePayloadCompression = 3,
  GULNetworkErrorCodeRequestCreation = 4,
};

// Answers larger than this are refused: nothing this system fetches comes
// near it, and an unbounded body would let a peer exhaust memory.
inline constexpr size_t kVADErivoroMaxResponseBytes = size_t{64} << 20;

class VADErivoro {
 public:
  // The HTTP answer: status code, header fields in arrival order, final URL.
  struct Response {
    long statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string url;

    // The first value of the header field `name` (case-insensitive), or
    // nullopt.
    std::optional<std::string> header(std::string_view name) const;
  };

  // (response, body, error): the response and the body (possibly empty) on
  // an HTTP answer, or neither and an error.
  using CompletionHandler = std::function<void(std::optional<Response> response,
                                               std::optional<platform::Bytes> data,
                                               platform::ErrorRef error)>;

  // The default time-out of a request, in seconds.
  static constexpr double kDefaultTimeoutInterval = 60;

  // `host` is kept for reachability monitoring.
  explicit VADErivoro(std::string reachabilityHost);
  VADErivoro(const VADErivoro&) = delete;
  VADErivoro& operator=(const VADErivoro&) = delete;

  const std::string& reachabilityHost() const { return reachabilityHost_; }

  // Time-out of later requests, in seconds. A value that is NaN or not above
  // zero restores the default of 60 s.
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const { return timeoutInterval_.load(); }

  // POSTs `payload` gzip-compressed to `url` with the headers
  // "Content-Length", "Content-Type: application/x-www-form-urlencoded" and
  // "Content-Encoding: gzip", and calls `completionHandler` on `queue` (the
  // main queue when null). No answer is ever served from a cache.
  // `usingBackgroundSession` asks for a transfer that survives suspension of
  // the app; this platform has no such sessions, so it runs as any other.
  void postURL(const std::string& url, const platform::Bytes& payload,
               std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
               CompletionHandler completionHandler);

 private:
  const std::string reachabilityHost_;
  std::atomic<double> timeoutInterval_{kDefaultTimeoutInterval};
};
