// tovali-link-vectors FILE...: runs link protocol vector files against our implementation.

#include <iostream>

#include "checks.hpp"
#include "vector_file.hpp"

namespace {

using namespace tovali::vectors;

// Kept in this order: it is the order in which the FAIL lines come.
void checkFile(Tally& tally, const json& root) {
    checkKeys(tally, root);
    checkPairing(tally, root);
    checkSessions(tally, root);
    checkInput(tally, root);
    checkRequests(tally, root);
    checkReplies(tally, root);
    checkCodes(tally, root);
    checkWatchKeys(tally, root);
    checkReplyReady(tally, root);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: tovali-link-vectors FILE...\n";
        return 2;
    }
    Tally tally;
    for (int i = 1; i < argc; ++i) {
        auto root = load(argv[i]);
        if (!root) {
            // Counted as a failure so that the summary agrees with the exit status.
            std::cerr << "tovali-link-vectors: " << argv[i] << ": " << root.error().message << '\n';
            tally.countFailure();
            continue;
        }
        if (argc > 2)
            std::cout << "checking " << argv[i] << '\n';
        checkFile(tally, *root);
    }
    std::cout << tally.passed() << " passed, " << tally.failed() << " failed\n";
    return tally.failed() == 0 ? 0 : 1;
}
