// `PersistedConfigFixture`: a fresh container holding the measurement
// settings store and the persisted settings over it. The store's delayed
// writes never run: a test reads what the store holds, not the file.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "measurement/storage/settings/persisted_config.h"
#include "measurement/storage/settings/persistent_dictionary.h"
#include "tests/support/temp_container.h"

class PersistedConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = APMPersistentDictionary::initWithFileName("com.voraza.vuv.measurement",
                                                       [](double, platform::DispatchBlock) {});
    config_ = APMPersistedConfig::initWithSuiteName("com.voraza.vuv.measurement", store_);
    ASSERT_TRUE(config_);
  }

  TempContainer container_;
  std::shared_ptr<APMPersistentDictionary> store_;
  std::shared_ptr<APMPersistedConfig> config_;
};
