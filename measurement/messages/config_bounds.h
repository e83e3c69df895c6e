// Bounds of a measurement configuration ("MeasurementConfig"), applied by
// its own decode (message_routines.h), so that every reader and the write
// check of the stored row hold the same ones, counted where the items are
// decoded.
//
// The service sends some tens of kilobytes: a few dozen settings, event
// configurations for at most a few hundred events, programs of a few
// thousand nodes. What a configuration carries is decoded, copied and
// parsed on the worker queue at many times its size (an event
// configuration takes about 1.3 KB once parsed, a program node some
// hundreds of bytes while it loads), so a small hostile one could otherwise
// hold hundreds of megabytes and seconds of the queue, and a large one
// would be built whole only to be refused.
#pragma once

#include <cstddef>
#include <cstdint>

// Its encoded bytes, refused before anything is decoded: the decoder
// builds up to 48 bytes per byte, so this also bounds what the fields not
// counted below can take.
inline constexpr size_t kAPMMaxMeasurementConfigBytes = size_t{1} << 20;
// Its settings; the settings table has under a hundred rows.
inline constexpr uint32_t kAPMMaxMeasurementConfigSettings = 1'000;
// Its event configurations; an app logs at most a few hundred events.
inline constexpr uint32_t kAPMMaxMeasurementConfigEvents = 2'000;
// The nodes of all its programs (instructions, operands, activity rules).
inline constexpr uint32_t kAPMMaxMeasurementConfigProgramNodes = 50'000;
