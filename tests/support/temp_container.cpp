#include "tests/support/temp_container.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/paths.h"

std::string makeTemporaryFolder(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create " + pattern);
  return pattern;
}

TempContainer::TempContainer() : path_(makeTemporaryFolder("apm-container")) {
  platform::setContainerDirectory(path_);
}

TempContainer::~TempContainer() {
  platform::setContainerDirectory(std::nullopt);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempContainer::library() const { return path_ + "/Library"; }
std::string TempContainer::applicationSupport() const {
  return path_ + "/Library/Application Support";
}
std::string TempContainer::preferences() const { return path_ + "/Library/Preferences"; }
