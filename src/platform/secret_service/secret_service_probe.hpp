#pragma once

#include <QDBusConnection>
#include <map>
#include <string>

namespace tovali {

/// Whether a Secret Service answers on the session bus and holds an item, asked over D-Bus with a
/// time-out: libsecret's calls may wait for an unlock prompt, and a report must not.
enum class SecretServiceItem {
    /// No Secret Service answers: the file store is used.
    noService,
    absent,
    present,
    /// Present in a collection that must be unlocked before it can be read.
    locked,
    /// The Secret Service answered with an error.
    unknown,
};

SecretServiceItem probeSecretService(const std::map<std::string, std::string>& attributes,
                                     int timeoutMs,
                                     QDBusConnection bus = QDBusConnection::sessionBus());

} // namespace tovali
