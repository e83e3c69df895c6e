// Identity support with and without a provider; a slow provider never
// holds its caller longer than the wait.
#include "measurement/storage/system/identity_support.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/recording_monitor.h"

namespace {

class GatedProvider : public APMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return true; }
  uint64_t appDataConsentStatus() override { return 3; }
  bool hasLimitedAdTracking() override { return false; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override {
    std::unique_lock<std::mutex> lock(mutex);
    opened.wait(lock, [&] { return open; });
    ++reads;
    return identifier;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    opened.notify_all();
  }
  void setIdentifier(std::string value) {
    std::lock_guard<std::mutex> lock(mutex);
    identifier = std::move(value);
  }
  int readCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return reads;
  }

  std::string identifier = "5D2C0F6E-0000-4000-8000-00000000ABCD";
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  int reads = 0;
};

TEST(IdentitySupport, WithoutAProviderNothingIsKnown) {
  RecordingMonitor monitor;
  auto support = APMDefaultIdentitySupport::create(nullptr);
  EXPECT_EQ(monitor.codes(), std::vector<long>{44003});
  EXPECT_EQ(monitor.first(44003).level, 4);
  EXPECT_FALSE(support->hasAppDataConsentStatus());
  EXPECT_EQ(static_cast<int64_t>(support->appDataConsentStatus()), -1);
  EXPECT_FALSE(support->hasLimitedAdTracking());
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(support->limitedAdTracking());
  EXPECT_EQ(APMDefaultIdentitySupport::sharedInstance()->platformIdentitySupport(), nullptr);
}

TEST(IdentitySupport, ASlowProviderAnswersOnALaterCall) {
  auto provider = std::make_shared<GatedProvider>();
  RecordingMonitor monitor;
  auto support = APMDefaultIdentitySupport::create(provider);
  EXPECT_EQ(monitor.codes(), (std::vector<long>{44000, 44002}));
  EXPECT_EQ(support->appDataConsentStatus(), 3u);
  // The provider is stuck: the caller gets the earlier value (none).
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  provider->release();
  for (int i = 0; i < 20'000 && provider->readCount() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::optional<std::string> identifier;
  for (int i = 0; i < 1'000 && !identifier; ++i) identifier = support->resettableDeviceID();
  EXPECT_EQ(identifier, "5D2C0F6E-0000-4000-8000-00000000ABCD");
  EXPECT_FALSE(support->limitedAdTracking());
  provider->setIdentifier(APMDefaultIdentitySupport::kZeroDeviceID);
  // Each call reads again; the all-zero identifier means limited tracking.
  bool limited = false;
  for (int i = 0; i < 1'000 && !limited; ++i) limited = support->limitedAdTracking();
  EXPECT_TRUE(limited);
}

}  // namespace
