// `TempKeychain`: points the keychain at a folder of its own for as long as
// the fixture lives, apart from any container folder.
//
// Construction makes a uniquely named parent folder under $TMPDIR (or /tmp)
// and sets the keychain folder (`platform::setKeychainDirectory`) to
// `<parent>/keychain`, which is not made: the keychain makes it on its first
// write. Destruction restores the environment's answer and removes the
// parent with everything in it. The override is process-wide: use one at a
// time, from the test's own thread.
#pragma once

#include <string>
#include <vector>

class TempKeychain {
 public:
  TempKeychain();
  ~TempKeychain();
  TempKeychain(const TempKeychain&) = delete;
  TempKeychain& operator=(const TempKeychain&) = delete;

  // The folder holding the keychain folder.
  const std::string& parent() const { return parent_; }
  // The keychain folder.
  std::string path() const { return parent_ + "/keychain"; }
  // The names of the entries in the keychain folder, sorted; empty when the
  // folder does not exist.
  std::vector<std::string> entries() const;

 private:
  std::string parent_;
};
