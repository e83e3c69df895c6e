#include "platform/error.h"

namespace platform {

ErrorRef Error::withDescription(std::string domain, long code, std::string description) {
  Object::Dictionary info;
  if (!description.empty()) info.emplace(kLocalizedDescriptionKey, std::move(description));
  return make(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
  auto it = userInfo_.find(kLocalizedDescriptionKey);
  if (it != userInfo_.end() && it->second.isString()) return *it->second.string();
  return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) +
         ".)";
}

std::string Error::description() const {
  std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                     localizedDescription() + "\"";
  if (!userInfo_.empty()) {
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
      if (!first) text += ", ";
      first = false;
      text += key + "=" + value.description();
    }
    text += "}";
  }
  return text;
}

}  // namespace platform
