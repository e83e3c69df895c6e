#include "sdk_core/http_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <cmath>
#include <mutex>

#include "platform/numbers.h"
#include "sdk_core/gzip.h"
#include "sdk_core/logger.h"

namespace {

constexpr const char* kFailedToCreateRequest = "Failed to create network request";
constexpr long kFailedToCreateRequestCode = 900002;

using Response = VADErivoro::Response;
using CompletionHandler = VADErivoro::CompletionHandler;

struct Outcome {
  std::optional<Response> response;
  std::optional<platform::Bytes> data;
  platform::ErrorRef error;
};

void deliver(const std::shared_ptr<platform::DispatchQueue>& queue, CompletionHandler handler,
             Outcome outcome) {
  if (!handler) return;
  queue->async([handler = std::move(handler), outcome = std::move(outcome)]() mutable {
    handler(std::move(outcome.response), std::move(outcome.data), std::move(outcome.error));
  });
}

// A request that never reached the wire: logged, then reported.
platform::ErrorRef creationError(long code, std::string reason) {
  platform::Object::Dictionary info;
  info.emplace(kGULNetworkErrorContext, kFailedToCreateRequest);
  info.emplace(platform::kLocalizedDescriptionKey, std::move(reason));
  auto error = platform::Error::make(kGULNetworkErrorDomain, code, std::move(info));
  GULLogError(kGULAnalyticsSubsystem, kGULAnalyticsLogTag, false,
              GULAnalyticsMessageCode(kFailedToCreateRequestCode),
              std::string(kFailedToCreateRequest) + ". Code, error: " + std::to_string(code) +
                  ", " + error->description());
  return error;
}

// The platform's URL error code for each way a transfer can fail.
struct TransportFailure {
  CURLcode curlCode;
  long urlErrorCode;
};
constexpr long kURLErrorUnknown = -1;
constexpr TransportFailure kTransportFailures[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, -1002},      // unsupported URL
    {CURLE_URL_MALFORMAT, -1000},             // bad URL
    {CURLE_OPERATION_TIMEDOUT, -1001},        // timed out
    {CURLE_COULDNT_RESOLVE_HOST, -1003},      // cannot find host
    {CURLE_COULDNT_CONNECT, -1004},           // cannot connect to host
    {CURLE_GOT_NOTHING, -1005},               // network connection lost
    {CURLE_SEND_ERROR, -1005},
    {CURLE_RECV_ERROR, -1005},
    {CURLE_PARTIAL_FILE, -1005},
    {CURLE_WRITE_ERROR, -1103},               // data length exceeds maximum
    {CURLE_FILESIZE_EXCEEDED, -1103},
    {CURLE_SSL_CONNECT_ERROR, -1200},         // secure connection failed
    {CURLE_PEER_FAILED_VERIFICATION, -1202},  // server certificate untrusted
};

platform::ErrorRef transportError(CURLcode code, const char* detail, const std::string& url) {
  long urlCode = kURLErrorUnknown;
  for (const auto& failure : kTransportFailures) {
    if (failure.curlCode == code) urlCode = failure.urlErrorCode;
  }
  std::string description = curl_easy_strerror(code);
  if (detail && *detail) description.append(": ").append(detail);
  platform::Object::Dictionary info;
  info.emplace(platform::kLocalizedDescriptionKey, std::move(description));
  info.emplace("NSErrorFailingURLStringKey", url);
  return platform::Error::make(kNSURLErrorDomain, urlCode, std::move(info));
}

size_t appendBody(char* data, size_t size, size_t count, void* context) {
  auto* body = static_cast<platform::Bytes*>(context);
  size_t length = size * count;
  // Returning less than given aborts the transfer with CURLE_WRITE_ERROR.
  if (length > kVADErivoroMaxResponseBytes - body->size()) return 0;
  body->insert(body->end(), data, data + length);
  return length;
}

// Releases the handle and the header list on every return path.
struct Transfer {
  CURL* handle = curl_easy_init();
  curl_slist* headers = nullptr;
  ~Transfer() {
    curl_slist_free_all(headers);
    if (handle) curl_easy_cleanup(handle);
  }
  bool addHeader(const std::string& line) {
    curl_slist* grown = curl_slist_append(headers, line.c_str());
    if (grown) headers = grown;
    return grown != nullptr;
  }
};

// Only http and https: URLs come from remote configuration, and a scheme
// such as file must never be reachable through them.
constexpr const char* kAllowedSchemes = "http,https";

// Parses the URL the way the transfer will; empty when it is acceptable,
// otherwise the reason.
std::string urlProblem(const std::string& url) {
  // A URL is printable ASCII; anything else must arrive percent-encoded.
  // The parser would pass raw bytes (invalid UTF-8 among them) to the wire.
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F) return "Invalid URL: a character outside printable ASCII";
  }
  CURLU* parsed = curl_url();
  if (!parsed) return "Cannot create a URL parser";
  std::string problem;
  CURLUcode status = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
  if (status != CURLUE_OK) {
    problem = std::string("Invalid URL: ") + curl_url_strerror(status);
  } else {
    char* scheme = nullptr;
    if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme ||
        (strcasecmp(scheme, "http") != 0 && strcasecmp(scheme, "https") != 0)) {
      problem = "Unsupported URL scheme";
    }
    curl_free(scheme);
  }
  curl_url_cleanup(parsed);
  return problem;
}

Outcome perform(const std::string& url, const platform::Bytes& body, double timeoutSeconds) {
  Transfer transfer;
  if (!transfer.handle) {
    return {std::nullopt, std::nullopt,
            creationError(GULNetworkErrorCodeRequestCreation, "Cannot create a transfer")};
  }
  bool headersMade = transfer.addHeader("Content-Length: " + std::to_string(body.size())) &&
                     transfer.addHeader("Content-Type: application/x-www-form-urlencoded") &&
                     transfer.addHeader("Content-Encoding: gzip") &&
                     // No "Expect: 100-continue" round trip before large bodies.
                     transfer.addHeader("Expect:");
  if (!headersMade) {
    return {std::nullopt, std::nullopt,
            creationError(GULNetworkErrorCodeRequestCreation, "Cannot create the headers")};
  }

  platform::Bytes received;
  char detail[CURL_ERROR_SIZE] = {};
  long timeoutMs = platform::saturatingCast<long>(timeoutSeconds * 1000);
  CURL* handle = transfer.handle;
  bool configured =
      curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kAllowedSchemes) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, transfer.headers) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POST, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size())) ==
          CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail) == CURLE_OK &&
      // Signals would reach threads that never expect them.
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (!configured) {
    return {std::nullopt, std::nullopt,
            creationError(GULNetworkErrorCodeRequestCreation,
                          std::string("Cannot configure the transfer: ") + detail)};
  }

  // A preference only: a libcurl without HTTP/2 refuses it and speaks 1.1.
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_2TLS});

  CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK) return {std::nullopt, std::nullopt, transportError(result, detail, url)};

  Response response;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.statusCode);
  char* effectiveURL = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effectiveURL) == CURLE_OK &&
      effectiveURL) {
    response.url = effectiveURL;
  }
  // Headers of the final answer only (-1), not of interim 1xx answers.
  for (curl_header* field = nullptr;
       (field = curl_easy_nextheader(handle, CURLH_HEADER, -1, field)) != nullptr;) {
    response.headers.emplace_back(field->name, field->value);
  }
  return {std::move(response), std::move(received), nullptr};
}

}  // namespace

std::optional<std::string> VADErivoro::Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

VADErivoro::VADErivoro(std::string reachabilityHost)
    : reachabilityHost_(std::move(reachabilityHost)) {
  // curl's global set-up is not safe to race with transfers; do it once,
  // before the first one.
  static std::once_flag curlInitialized;
  std::call_once(curlInitialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void VADErivoro::setTimeoutInterval(double seconds) {
  timeoutInterval_.store(std::isnan(seconds) || seconds <= 0 ? kDefaultTimeoutInterval : seconds);
}

void VADErivoro::postURL(const std::string& url, const platform::Bytes& payload,
                         std::shared_ptr<platform::DispatchQueue> queue,
                         bool /*usingBackgroundSession*/, CompletionHandler completionHandler) {
  if (!queue) queue = platform::DispatchQueue::main();
  if (url.empty()) {
    deliver(queue, std::move(completionHandler),
            {std::nullopt, std::nullopt,
             creationError(GULNetworkErrorCodeInvalidURL, "The URL is empty")});
    return;
  }
  platform::ErrorRef compressionError;
  std::optional<platform::Bytes> body = gul_dataByGzippingData(payload, &compressionError);
  if (!body) {
    std::string reason = "Cannot compress the payload";
    if (compressionError) reason += ": " + compressionError->localizedDescription();
    deliver(queue, std::move(completionHandler),
            {std::nullopt, std::nullopt,
             creationError(GULNetworkErrorCodePayloadCompression, std::move(reason))});
    return;
  }
  std::string problem = urlProblem(url);
  if (!problem.empty()) {
    deliver(queue, std::move(completionHandler),
            {std::nullopt, std::nullopt,
             creationError(GULNetworkErrorCodeRequestCreation, std::move(problem))});
    return;
  }
  platform::DispatchQueue::globalBackground()->async(
      [url, body = std::move(*body), timeout = timeoutInterval(), queue = std::move(queue),
       handler = std::move(completionHandler)]() mutable {
        deliver(queue, std::move(handler), perform(url, body, timeout));
      });
}
