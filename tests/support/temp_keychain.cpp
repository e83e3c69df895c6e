#include "tests/support/temp_keychain.h"

#include <algorithm>
#include <filesystem>

#include "platform/paths.h"
#include "tests/support/temp_container.h"

TempKeychain::TempKeychain() : parent_(makeTemporaryFolder("apm-keychain")) {
  platform::setKeychainDirectory(path());
}

TempKeychain::~TempKeychain() {
  platform::setKeychainDirectory(std::nullopt);
  std::error_code ignored;
  std::filesystem::remove_all(parent_, ignored);
}

std::vector<std::string> TempKeychain::entries() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path(), ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
