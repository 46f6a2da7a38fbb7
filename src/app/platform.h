#pragma once

#include <ctime>

// The few calls that differ between operating systems (not between library versions;
// those live in compat.h).
namespace platform {

// Lets another process (the running instance we just handed a path to) bring its window
// to the front. Windows only; a no-op elsewhere.
void allowOtherProcessToTakeForeground();

// Thread-safe localtime. False when the time cannot be represented.
bool localTime(std::time_t seconds, std::tm *out);

} // namespace platform
