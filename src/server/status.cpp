#include "server/status.hpp"

#include "link/watch_name.hpp"

namespace tovali {

std::string statusText(const Status& status) {
    switch (status.kind()) {
    case Status::Case::starting:
        return "Starting Bluetooth\u2026";
    case Status::Case::bluetoothOff:
        return "Bluetooth is off. Turn it on in the desktop’s Bluetooth settings.";
    case Status::Case::notAllowed:
        return "Bluetooth access is off for Tovali. Allow it in the system’s D-Bus policy for "
               "Bluetooth.";
    case Status::Case::unsupported:
        return "This computer cannot advertise over Bluetooth LE.";
    case Status::Case::waiting:
        return "Ready. Open Tovali on your watch.";
    case Status::Case::keyringLocked:
        return "Your keyring is locked. Unlock it so that your watches can connect.";
    case Status::Case::failed:
        return status.text();
    case Status::Case::pairing:
        return "Pairing with " + shownName(status.text()) + "\u2026";
    case Status::Case::connected:
        return "Connected to " + shownName(status.text());
    }
    return {};
}

StatusColor statusColor(const Status& status) {
    switch (status.kind()) {
    case Status::Case::connected:
        return StatusColor::green;
    case Status::Case::pairing:
    case Status::Case::starting:
    case Status::Case::waiting:
        return StatusColor::blue;
    case Status::Case::failed:
    case Status::Case::bluetoothOff:
    case Status::Case::notAllowed:
    case Status::Case::unsupported:
    case Status::Case::keyringLocked:
        return StatusColor::orange;
    }
    return StatusColor::orange;
}

} // namespace tovali
