#pragma once

#include <QDBusConnection>
#include <QString>
#include <chrono>
#include <optional>
#include <string>

#include "platform/peripheral_manager.hpp"

namespace tovali {

/// What bluetoothd and its adapter say about serving watches, as plain values for a report.
struct BluezFindings {
    enum class Daemon { noSystemBus, missing, denied, silent, running };
    enum class Step { notTried, done, refused, noAnswer };

    Daemon daemon = Daemon::missing;
    /// bluetoothd's own answer to --version, where the bus names its program.
    std::optional<std::string> version;
    /// The adapter the application would use; none without one.
    std::optional<std::string> adapterPath;
    std::string address;
    bool powered = false;
    bool gattManager = false;
    bool advertisingManager = false;
    bool peripheralRole = false;
    Step service = Step::notTried;
    Step advertisement = Step::notTried;
    /// bluetoothd's words for the step it refused.
    std::string refusal;
};

/// Finds out, within `deadline`, whether bluetoothd would take the application: it follows
/// bluetoothd as the application does and, on a powered LE adapter, really registers the service
/// and the advertisement, then withdraws both. Runs the event loop meanwhile.
BluezFindings probeBluez(const ServiceDefinition& service, const AdvertisementData& advertisement,
                         std::chrono::milliseconds deadline,
                         QDBusConnection bus = QDBusConnection::systemBus());

/// The LE connection interval bounds that bluetoothd's main.conf sets, in units of 1.25 ms;
/// none when the file cannot be read.
struct ConnectionInterval {
    std::optional<int> min;
    std::optional<int> max;
};
std::optional<ConnectionInterval>
readConnectionInterval(const QString& path = QStringLiteral("/etc/bluetooth/main.conf"));

} // namespace tovali
