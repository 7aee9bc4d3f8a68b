#include "server/pairing_backoff.hpp"

#include <algorithm>
#include <cmath>

namespace tovali {

void PairingBackoff::endedUnapproved(double now) {
    if (unapproved_ > 0 && now - lastEnd_ >= quietReset) {
        unapproved_ = 0;
    }
    // Past the longest wait the count no longer matters; capping it keeps the power finite.
    unapproved_ = std::min(unapproved_ + 1, 16);
    lastEnd_ = now;
    const double wait = std::min(firstWait * std::exp2(unapproved_ - 1), longestWait);
    readyAt_ = now + wait;
}

} // namespace tovali
