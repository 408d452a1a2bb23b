// What the runtime folder needs to know of this process's claim on its serial number.
#pragma once

// True once this process has taken its number (reads an atomic only, so it may be asked while
// the number is being taken).
bool HoldsProcessNumber();
