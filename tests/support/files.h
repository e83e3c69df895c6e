// Small file-system helpers for tests: what a file holds, what a folder
// holds, and a file's modification time moved away from now.
#pragma once

#include <string>
#include <vector>

// The file's bytes; empty when it cannot be read.
std::string fileText(const std::string& path);

// The names of the folder's entries, sorted; empty when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);

// Sets the file's access and modification times `seconds` from now (in the
// past when negative); false when it cannot.
bool shiftModificationTime(const std::string& path, double seconds);
