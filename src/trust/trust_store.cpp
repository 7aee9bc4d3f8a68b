#include "trust/trust_store.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "common/reference_date.hpp"
#include "link/crypto.hpp"

namespace tovali {

namespace {

bool sameKey(const TrustedWatch& watch, ByteView key) {
    return std::ranges::equal(watch.key, key);
}

// A UTC time stamp that is safe in a file name, such as 2026-12-06T09-22-00Z.
std::string fileNameTimeStamp(double secondsSinceReferenceDate) {
    const auto unixSeconds =
        static_cast<std::time_t>(std::floor(secondsSinceReferenceDate + unixTimeOfReferenceDate));
    std::tm utc{};
    if (gmtime_r(&unixSeconds, &utc) == nullptr) {
        return "unknown-time";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%SZ", &utc);
    return text;
}

} // namespace

TrustStore::TrustStore(Defaults& defaults, SystemLog& log, const MainLoop& clock)
    : defaults_(defaults), log_(log), clock_(clock) {
    StoredValue value = defaults_.read(defaultsName);
    if (!value.unreadable.empty()) {
        // Whatever is there may be the only record of every pairing: it is left alone for the
        // whole run, and pairings made now live in memory.
        readProblem_ = "Could not read the list of paired watches at " +
                       defaults_.location(defaultsName) + ": " + value.unreadable +
                       ". Watches you pair now are remembered until Tovali quits.";
        return;
    }
    std::optional<Bytes>& stored = value.bytes;
    if (!stored) {
        return;
    }
    std::optional<std::vector<TrustedWatch>> decoded = decodeTrustedWatches(*stored);
    if (!decoded) {
        unreadable_ = std::move(stored);
        return;
    }
    const std::size_t decodedCount = decoded->size();
    std::erase_if(*decoded, [](const TrustedWatch& watch) {
        return !crypto::PublicKey::fromX963(watch.key);
    });
    watches_ = std::move(*decoded);
    if (watches_.size() != decodedCount) {
        save();
    }
}

bool TrustStore::contains(ByteView key) const {
    return std::ranges::any_of(watches_,
                               [key](const TrustedWatch& watch) { return sameKey(watch, key); });
}

void TrustStore::add(ByteView key, std::string name) {
    removeAll(key);
    watches_.push_back({toBytes(key), std::move(name), clock_.wallTime()});
    save();
}

void TrustStore::remove(ByteView key) {
    removeAll(key);
    save();
}

void TrustStore::removeAll(ByteView key) {
    std::erase_if(watches_, [key](const TrustedWatch& watch) { return sameKey(watch, key); });
}

std::optional<std::string> TrustStore::problem() const {
    return readProblem_ ? readProblem_ : saveProblem_;
}

void TrustStore::retryFailedSave() {
    if (saveProblem_) {
        save();
    }
}

void TrustStore::save() {
    if (readProblem_) {
        return;
    }
    const std::optional<std::string> encoded = encodeTrustedWatches(watches_);
    if (!encoded) {
        return;
    }
    // A list that could not be read may still be recovered by hand: it is never overwritten
    // before a copy of it is kept.
    if (unreadable_ && !keepUnreadableCopy()) {
        return;
    }
    if (const auto failed = defaults_.write(defaultsName, asBytes(*encoded))) {
        saveProblem_ = "Could not save the list of paired watches to " +
                       defaults_.location(defaultsName) + ": " + *failed +
                       ". Tovali tries again at the next change and when it quits.";
    } else {
        saveProblem_.reset();
    }
}

bool TrustStore::keepUnreadableCopy() {
    const std::string name =
        std::string(defaultsName) + ".unreadable-" + fileNameTimeStamp(clock_.wallTime()) + ".json";
    if (!defaults_.setData(name, *unreadable_)) {
        log_.write("Orvanel: could not keep a copy of the unreadable list of paired watches; "
                   "the list was not replaced");
        return false;
    }
    log_.write("Orvanel: the list of paired watches could not be read; it was kept at " +
               defaults_.location(name));
    unreadable_.reset();
    return true;
}

} // namespace tovali
