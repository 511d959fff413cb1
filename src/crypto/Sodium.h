#pragma once

namespace korvex::crypto {

// Initialises libsodium exactly once per process, from whichever thread gets here first.
// Every entry point of this layer calls it before touching libsodium.
void ensureSodiumInitialised();

} // namespace korvex::crypto
