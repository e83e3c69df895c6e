// The line that tells a restart of the bundle numbering, shared by the
// model that wraps the index and the table that keeps it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Logs 12067 (level 6): bundle indexes given before may be given again, so
// a collector that tells bundles apart by app instance and index alone
// would take the next bundles for repeats. `reason` says why; `lastIndex`
// is the index the numbering had reached, when one is known.
void APMLogBundleNumberingRestart(const std::string& reason, std::optional<int64_t> lastIndex);
