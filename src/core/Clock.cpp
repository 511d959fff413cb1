#include "core/Clock.h"

namespace korvex::core {

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

} // namespace korvex::core
