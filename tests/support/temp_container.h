// `TempContainer`: a fresh, uniquely named folder that serves as the app
// container for as long as the fixture lives.
//
// Construction creates the folder under $TMPDIR (or /tmp) and points the
// platform's container paths at it (`platform::setContainerDirectory`);
// destruction restores the environment's answer and removes the folder with
// everything in it. The override is process-wide: use one at a time, from
// the test's own thread.
#pragma once

#include <string>

// Makes a fresh folder "<prefix>-XXXXXX" under $TMPDIR (or /tmp) and answers
// its path; throws when it cannot.
std::string makeTemporaryFolder(const std::string& prefix);

class TempContainer {
 public:
  TempContainer();
  ~TempContainer();
  TempContainer(const TempContainer&) = delete;
  TempContainer& operator=(const TempContainer&) = delete;

  const std::string& path() const { return path_; }
  // <container>/Library, .../Application Support, .../Preferences.
  std::string library() const;
  std::string applicationSupport() const;
  std::string preferences() const;

 private:
  std::string path_;
};
