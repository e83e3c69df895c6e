// The scratch space of the storage benchmarks: one temporary folder per
// run, and fresh measurement databases in container folders inside it.
// Single-threaded: benchmark set-up and main() only.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "measurement/storage/database/database.h"
#include "platform/paths.h"

// A folder under /tmp, made on first use; `removeBenchFolder` removes it.
inline const std::string& benchFolder() {
  static const std::string path = [] {
    char pattern[] = "/tmp/apm_storage_bench_XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return path;
}

// A fresh measurement database in the container folder `name`. Writes run
// with "PRAGMA synchronous = OFF": a commit that waits for the disk costs
// more, and varies more, than the code under test.
inline std::shared_ptr<APMDatabase> openBenchDatabase(const std::string& name) {
  std::string container = benchFolder() + "/" + name;
  std::filesystem::remove_all(container);
  std::filesystem::create_directories(container);
  platform::setContainerDirectory(container);
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  if (database) database->sqliteStore()->executeSQL("PRAGMA synchronous = OFF");
  return database;
}

// Forgets the container and removes the folder; the last step of main().
inline void removeBenchFolder() {
  platform::setContainerDirectory(std::nullopt);
  std::filesystem::remove_all(benchFolder());
}
