#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "platform/defaults.hpp"
#include "platform/main_loop.hpp"
#include "platform/system_log.hpp"
#include "trust/trusted_watch.hpp"

namespace tovali {

/// The watches the user approved, in the order they were approved, kept in the defaults.
class TrustStore {
public:
    static constexpr std::string_view defaultsName = "trustedWatches";

    /// Loads the stored list; never fails. A list that cannot be read starts the store empty.
    /// A list that is there but cannot be read at all is left as it is for the whole run.
    TrustStore(Defaults& defaults, SystemLog& log, const MainLoop& clock);

    const std::vector<TrustedWatch>& watches() const { return watches_; }
    bool contains(ByteView key) const;
    /// Trusts the watch from now on, replacing any record with the same key, and saves.
    void add(ByteView key, std::string name);
    /// Forgets every record with the key, and saves even when there was none.
    void remove(ByteView key);

    /// Why the stored list could not be read or written, for the user; none when all is well.
    /// A list that could not be read is never written in this run.
    std::optional<std::string> problem() const;
    /// Saves again when the last save failed.
    void retryFailedSave();

private:
    void removeAll(ByteView key);
    void save();
    bool keepUnreadableCopy();

    Defaults& defaults_;
    SystemLog& log_;
    const MainLoop& clock_;
    std::vector<TrustedWatch> watches_;
    // The stored bytes that could not be read, until a copy of them is kept beside the list.
    std::optional<Bytes> unreadable_;
    std::optional<std::string> readProblem_;
    std::optional<std::string> saveProblem_;
};

} // namespace tovali
