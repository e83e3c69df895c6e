#include "measurement/storage/system/scheduler.h"

#include <exception>
#include <string_view>
#include <utility>

#include "measurement/engine/monitor.h"

namespace {

// The monitor's messages carry one "%@": the block ID or the method name.
std::string fill(std::string_view format, std::string_view value) {
  std::string text(format);
  if (auto at = text.find("%@"); at != std::string::npos) text.replace(at, 2, value);
  return text;
}

void log(long level, long code, std::string_view format, std::string_view value) {
  APMMeasurement::monitor()->logWithLevel(level, code, fill(format, value));
}

void logException(long code, std::string_view format, std::string_view blockID,
                  const char* what) {
  APMMeasurement::monitor()->logWithLevel(1, code, fill(format, blockID), platform::Object(what));
}

// Runs the block and logs what it throws under `code`; answers whether the
// block completed.
bool runLogged(const APMScheduler::Block& block, const std::string& blockID, long code,
               std::string_view format) {
  try {
    block();
    return true;
  } catch (const std::exception& e) {
    logException(code, format, blockID, e.what());
  } catch (...) {
    logException(code, format, blockID, "Unknown exception");
  }
  return false;
}

constexpr std::string_view kAsyncException = "Exception on worker queue. Block ID=%@. Exception";
constexpr std::string_view kSyncException =
    "Exception on worker queue when processing sync block. Block ID=%@. Exception";

}  // namespace

APMScheduler::APMScheduler(const std::string& workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::create(workerQueueLabel)) {
  workerQueue_->setTarget(platform::DispatchQueue::globalBackground());
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
  if (!platform::isMainThread()) return true;
  log(1, 30001, "Method %@ should execute on background thread",
      methodName.empty() ? "<empty method name>" : methodName);
  return false;
}

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block) {
  if (!block) {
    log(1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID);
    return;
  }
  workerQueue_->async([blockID, block = std::move(block)] {
    runLogged(block, blockID, 30000, kAsyncException);
  });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID,
                                                    const Block& block) {
  if (!block) {
    log(1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID);
    return;
  }
  bool completed = false;
  workerQueue_->sync([&] { completed = runLogged(block, blockID, 30003, kSyncException); });
  if (!completed) log(4, 30004, "Synchronous task failed. Block ID=%@", blockID);
}
