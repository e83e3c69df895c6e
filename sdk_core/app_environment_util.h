// `GULAppEnvironmentUtil`: probes of the environment the app runs in.
//
// Every operation is a class operation without side effects; any thread may
// call them. On this platform the app is never an App Store build, a
// simulator or an app extension; the device model and the OS version come
// from the kernel's identification (uname).
#pragma once

#include <string>

class GULAppEnvironmentUtil {
 public:
  GULAppEnvironmentUtil() = delete;

  // Whether the app was installed from the App Store: always false here.
  static bool isFromAppStore();
  static bool isSimulator();
  static bool isAppExtension();
  // The hardware model, as "x86_64"; empty when the kernel does not say.
  static std::string deviceModel();
  // The OS version string, as "6.1.0-18-amd64"; empty when unknown.
  static std::string systemVersion();
};
