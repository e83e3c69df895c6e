// Logs numbered lines just before it ends, for the logger's exit test.
// argv[1] says how it ends: "return" from main, "exit", or "threads" (it
// returns from main while other threads go on logging).
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "sdk_core/logger.h"

int main(int argc, char** argv) {
  // A child stuck at exit dies instead of holding the test.
  alarm(60);
  const std::string how = argc > 1 ? argv[1] : "return";
  if (how == "threads") {
    for (int thread = 0; thread < 4; ++thread) {
      std::thread([thread] {
        for (long i = 0;; ++i) {
          GULLogError(kGULAnalyticsSubsystem, "busy", false, "I-ACS000002",
                      std::to_string(thread) + " " + std::to_string(i));
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
      }).detach();
    }
  }
  const int lines = argc > 2 ? std::atoi(argv[2]) : 0;
  for (int i = 0; i < lines; ++i) {
    GULLogError(kGULAnalyticsSubsystem, "main", false, "I-ACS000001", std::to_string(i));
  }
  if (how == "exit") std::exit(0);
  return 0;
}
