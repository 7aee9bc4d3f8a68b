#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <string>

#include "support/app_world.hpp"
#include "support/child_process.hpp"

namespace tovali::test {

/// The guest's side of the real stack: bluetoothd on the system bus the guest brought up, and
/// the real application in its own X server and session bus, using the first controller.
class VmWorld {
public:
    VmWorld();
    ~VmWorld();
    VmWorld(const VmWorld&) = delete;
    VmWorld& operator=(const VmWorld&) = delete;

    /// Why the world could not be made, or empty.
    const std::string& error() const { return error_; }
    AppWorld& app() { return app_; }
    /// The application's messages and bluetoothd's last ones, for a failure's explanation.
    std::string logs() const;

    /// SIGKILL, as a crash would end it, then a new bluetoothd; answers why it failed, or empty.
    std::string restartBluetoothd();
    /// btmgmt switches a controller off and on behind bluetoothd, as suspend and resume do.
    std::string powerCycle(int index);

    /// What the application has registered with the current bluetoothd, counted from its calls
    /// (registrations less unregistrations), by "Application path" and "Advertisement path".
    QMap<QString, int> registrations() const;
    /// LEAdvertisingManager1's ActiveInstances on this adapter: every advertisement bluetoothd
    /// holds for it.
    int activeAdvertisements(const QString& adapter) const;

private:
    std::string startBluetoothd();
    QStringList calls() const;

    TemporaryFolder folder_{"tovali-vm"};
    std::string results_;
    ChildProcess bluetoothd_;
    ChildProcess monitor_;
    AppWorld app_{AppWorld::Bluetooth::system};
    /// Calls made to an earlier bluetoothd.
    qsizetype callsBefore_ = 0;
    std::string error_;
};

} // namespace tovali::test
