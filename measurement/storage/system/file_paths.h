// Where the measurement files live, and the file operations done on them.
//
// Measurement files (the measurement database, the experiment database, the
// persisted settings file) live in the Application Support directory of the
// app container under "Voraza/Measurement"; user-defaults suites live in
// Library/Preferences. A missing search-path entry is logged through the
// monitor (19000, 19001) and answered with the empty path, which every
// caller treats as "no file".
//
// All functions may be called from any thread.
#pragma once

#include <string>

#include "platform/error.h"

// "<Application Support>/Voraza/Measurement/<fileName>"; empty for an empty
// name or without an Application Support entry (logged, 19001).
std::string APMApplicationSupportFilePath(const std::string& fileName);

// The same for "<name>.plist" ("plist" is appended unless it already is the
// name's extension).
std::string APMApplicationSupportPlistPath(const std::string& name);

// "<Library>/Preferences/<suiteName>.plist"; empty for an empty name or
// without a Library entry (logged, 19000).
std::string APMPreferencesPlistPath(const std::string& suiteName);

// Creates the folder that holds the file at `filePath`, with its missing
// parents, readable by the owner only (0700): the measurement files hold
// events and user properties. Folders already there keep their mode. YES
// when the folder exists; NO with the platform's error otherwise.
bool APMCreateFolderForFile(const std::string& filePath, platform::ErrorRef* error = nullptr);

// Marks the item at `path` as excluded from backup (see platform/paths.h for
// what the mark is here); NO with the platform's error when there is no item.
bool APMExcludeFromBackup(const std::string& path, platform::ErrorRef* error = nullptr);

// Removes the item at `path`; NO with the platform's error when it cannot,
// and with code 1 "Received empty path for deleting file" for an empty path.
bool APMDeleteFile(const std::string& path, platform::ErrorRef* error = nullptr);

// Removes a database file with its "-journal", "-wal" and "-shm" companions:
// a journal left behind would be taken for the next file's at that path and
// rolled back into it. Close every connection on it first. YES when none is
// left (or none was there); NO with the last error otherwise.
bool APMDeleteDatabaseFiles(const std::string& path, platform::ErrorRef* error = nullptr);

// Moves the suite's old settings file from Library/Preferences to
// Application Support (once, at creation of the persisted settings) and
// removes the suite from the app's preferences. YES when the file is now
// only in Application Support or there was none; NO when a path is unknown,
// a directory stands at either path, or a file operation fails. A file
// already in Application Support wins over the old one.
bool APMMigrateSuitePlistToApplicationSupport(const std::string& suiteName);
