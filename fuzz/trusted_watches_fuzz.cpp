// Stored lists of paired watches come from disk, where anything may have been written: the
// reader must refuse or accept without crashing, and what it accepts must survive a save.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "trust/trusted_watch.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<std::vector<tovali::TrustedWatch>> watches =
        tovali::decodeTrustedWatches({data, size});
    if (!watches) {
        return 0;
    }
    for (const tovali::TrustedWatch& watch : *watches) {
        if (!std::isfinite(watch.pairedAt)) {
            std::abort();
        }
    }
    const std::optional<std::string> saved = tovali::encodeTrustedWatches(*watches);
    if (!saved) {
        std::abort();
    }
    const auto reread = tovali::decodeTrustedWatches(tovali::asBytes(*saved));
    if (!reread || *reread != *watches) {
        std::abort();
    }
    return 0;
}
