#include "measurement/script/editing_error.h"

// Editing errors arise while loading and registering, never on the path of
// every evaluation, so each is a new object.
platform::ErrorRef APMPEditingError(long code) { return platform::Error::make(kAPMPEditingErrorDomain, code); }
