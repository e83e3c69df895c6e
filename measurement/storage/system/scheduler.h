// APMScheduler: the worker queue of the measurement stack.
//
// The scheduler owns one serial queue, the worker queue, targeting the
// global background queue. Every worker-side operation of the engine, the
// database, the remote configuration and the reporters runs there, one
// block at a time in submission order, and touches shared state without
// further locks. Each block is submitted under a block ID ("APMMeasurement:
// 627") that names the caller in the log lines. A block that throws never
// reaches the caller or stops the queue: the exception is logged and the
// block's work is lost.
//
// All operations may be called from any thread. Blocks already submitted
// run even when the scheduler is gone (each keeps what it captured).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch.h"

class APMScheduler {
 public:
  using Block = std::function<void()>;

  // Creates the worker queue with the label, targeting the global
  // background queue.
  explicit APMScheduler(const std::string& workerQueueLabel);

  // Called at the top of operations that must run off the main thread. On
  // the main thread logs 30001 with the method name and answers false;
  // elsewhere answers true. Never stops the caller.
  static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

  // Submits the block to the worker queue and returns at once. An empty
  // block is not submitted (logs 30005). A throwing block logs 30000.
  void scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block);

  // Runs the block on the worker queue and returns when it has run (on the
  // calling thread, which holds the worker queue meanwhile, when the queue
  // is idle and the caller is not the main thread). Never waits for a free
  // pool thread, so any number of pool blocks may call it at once. An
  // empty block logs 30002 and returns at once. A throwing block logs 30003
  // and then 30004, and the call returns normally. Called from the worker
  // queue itself, the block runs inline (the platform logs one line)
  // instead of waiting forever.
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const Block& block);

  // For callers that hand the queue to alarms, network completions and
  // other components.
  std::shared_ptr<platform::DispatchQueue> workerQueue() const { return workerQueue_; }

 private:
  const std::shared_ptr<platform::DispatchQueue> workerQueue_;
};
