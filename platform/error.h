// `Error`: a failure reported by an operation, as a domain, an integer code
// and a user-info dictionary. Errors are immutable and shared through
// `ErrorRef`.
//
// Synchronous operations that can fail take `ErrorRef* error = nullptr` as
// their last parameter and set it only on failure.
#pragma once

#include <string>

#include "platform/object.h"

namespace platform {

// User-info key of the human-readable description.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

class Error {
 public:
  Error(std::string domain, long code, Object::Dictionary userInfo = {})
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

  static ErrorRef make(std::string domain, long code, Object::Dictionary userInfo = {}) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
  }
  // An error whose user info holds only the localized description.
  static ErrorRef withDescription(std::string domain, long code, std::string description);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const Object::Dictionary& userInfo() const { return userInfo_; }

  // The user info's description, or a generic text naming domain and code.
  std::string localizedDescription() const;
  // "Error Domain=<domain> Code=<code> "<description>" UserInfo={...}".
  std::string description() const;

  bool operator==(const Error& other) const = default;

 private:
  std::string domain_;
  long code_;
  Object::Dictionary userInfo_;
};

// Stores `value` through an optional out-parameter.
inline void setError(ErrorRef* out, ErrorRef value) {
  if (out) *out = std::move(value);
}

}  // namespace platform
