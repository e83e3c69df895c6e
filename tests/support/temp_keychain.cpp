#include "tests/support/temp_keychain.h"

#include <filesystem>

#include "platform/paths.h"
#include "tests/support/files.h"
#include "tests/support/temp_container.h"

TempKeychain::TempKeychain() : parent_(makeTemporaryFolder("apm-keychain")) {
  platform::setKeychainDirectory(path());
}

TempKeychain::~TempKeychain() {
  platform::setKeychainDirectory(std::nullopt);
  std::error_code ignored;
  std::filesystem::remove_all(parent_, ignored);
}

std::vector<std::string> TempKeychain::entries() const { return folderEntries(path()); }
