#include "engine/notify.h"

namespace kzp {

intptr_t ProgressValue(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    double value = static_cast<double>(done) / static_cast<double>(total) * 1000.0;
    // Values above 1000 are passed on as they are (a data length smaller than
    // the stream); only what cannot be represented is bounded.
    if (value >= 9.0e18) return static_cast<intptr_t>(INTPTR_MAX);
    return static_cast<intptr_t>(static_cast<int64_t>(value));
}

}  // namespace kzp
