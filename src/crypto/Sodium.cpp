#include "crypto/Sodium.h"

#include <sodium.h>

namespace korvex::crypto {

void ensureSodiumInitialised() {
    // A function-local static is initialised once, thread-safely. The result is kept only so
    // that it can be looked at in a debugger; a failed initialisation shows up in every later
    // libsodium call anyway.
    static const int result = sodium_init();
    (void)result;
}

} // namespace korvex::crypto
