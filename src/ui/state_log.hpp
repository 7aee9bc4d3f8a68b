#pragma once

#include <cstddef>
#include <string_view>

#include "common/published.hpp"
#include "platform/system_log.hpp"

namespace tovali {

class BluetoothServer;
class SyslogSystemLog;

/// With --verbose: a line for each state change on standard error and in the journal, so that
/// whoever helps a user can follow what happened. Keys, codes and packets never pass here.
class StateLog final : public SystemLog {
public:
    explicit StateLog(SyslogSystemLog& journal) : journal_(journal) {}

    void write(std::string_view line) override;
    /// Follows what the server publishes: its status (sessions among it), pairing requests and
    /// the number of paired watches.
    void follow(const BluetoothServer& server);

private:
    SyslogSystemLog& journal_;
    std::size_t pairedWatches_ = 0;
    Subscription status_;
    Subscription pairing_;
    Subscription watches_;
};

} // namespace tovali
