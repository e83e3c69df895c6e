// `APMEvent`: the engine's event value (origin, public flag, name, timestamp
// and previous timestamp, parameters). Records that merely carry events hold
// them as `std::shared_ptr<APMEvent>`; events are immutable once made, so
// such records share them freely between copies and threads.
#pragma once

class APMEvent;
