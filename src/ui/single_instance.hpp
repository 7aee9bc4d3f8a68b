#pragma once

#include <QObject>
#include <QVariantMap>
#include <functional>
#include <optional>

namespace tovali {

/// Keeps Tovali to one process per user session. Two would publish two services with the same
/// identifier and write over each other's list of paired watches.
///
/// The first process owns a well-known name on the session bus; a later one asks it to show its
/// window and ends. Without a session bus, a lock file in $XDG_RUNTIME_DIR does the same.
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    static constexpr const char* busName = "app.tovali.Tovali";
    static constexpr const char* objectPath = "/app/tovali/Tovali";

    SingleInstance();
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// Makes this process the session's Tovali. When another one already is, it has been asked
    /// to show itself and the answer is the status this process should exit with.
    std::optional<int> claim();
    /// What to do when a later start asks this process to show itself.
    void onActivate(std::function<void()> activate) { activate_ = std::move(activate); }

public slots:
    // org.freedesktop.Application, as desktops call it too.
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);

private:
    std::optional<int> claimBusName();
    std::optional<int> claimLockFile();

    std::function<void()> activate_;
    int lockFd_ = -1;
};

} // namespace tovali
