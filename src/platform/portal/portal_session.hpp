#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <set>
#include <string>
#include <string_view>

#include "platform/portal/notify_queue.hpp"

class QDBusServiceWatcher;

namespace tovali {

class Defaults;
class SystemLog;

namespace portal {
inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString objectPath = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString remoteDesktopInterface =
    QStringLiteral("org.freedesktop.portal.RemoteDesktop");
inline const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
inline const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
/// The pointer's bit in the device types.
constexpr unsigned pointerDevice = 2;
/// The evdev codes of the buttons.
constexpr int leftButton = 0x110;
constexpr int rightButton = 0x111;
} // namespace portal

/// The one RemoteDesktop session of the application: the desktop asks the user once, and the
/// session holds the pointer until the user or the desktop ends it. Events are dropped while
/// no started session holds the pointer; a new session starts only when asked to, or when the
/// portal comes back after it went away.
class PortalSession : public QObject {
    Q_OBJECT
public:
    enum class State {
        /// Never asked for.
        idle,
        /// Asking the desktop; its dialog may be up.
        starting,
        /// Holds the pointer.
        started,
        /// The user cancelled, or the portal answered with an error or without the pointer.
        refused,
        /// The user or the desktop ended the session.
        closed,
        /// The portal left the bus.
        gone,
    };

    /// Where the restore token lives between runs.
    static constexpr std::string_view restoreTokenName = "portal-restore-token";

    PortalSession(QDBusConnection bus, Defaults& defaults, SystemLog& log);
    /// Releases the held buttons and closes the session, waiting briefly so that both reach the
    /// portal before the application's connection goes.
    ~PortalSession() override;

    /// Starts a session unless one is starting or started.
    void start();
    State state() const { return state_; }
    bool holdsPointer() const { return state_ == State::started; }
    /// Counts the sessions that have held the pointer: the desktop may have moved the pointer
    /// anywhere between two.
    int startedSessions() const { return startedSessions_; }

    void moveBy(double dx, double dy);
    /// Presses only what is up and releases only what is down, so that the desktop never sees
    /// a press without its release.
    void setButton(int code, bool pressed);
    void scroll(double dx, double dy);
    /// Ends a series of scroll events.
    void endScroll();

private slots:
    void onResponse(const QDBusMessage& message);
    void onClosed(const QDBusMessage& message);

private:
    using Step = void (PortalSession::*)(const QVariantMap& results);

    void askVersion();
    void request(const QString& method, QVariantList arguments, QVariantMap options, Step next);
    void createSession(const QVariantMap&);
    void selectDevices(const QVariantMap& results);
    void startSession(const QVariantMap&);
    void started(const QVariantMap& results);
    void fail(State state, const QString& why);
    void closeSession(bool wait);

    QDBusConnection bus_;
    Defaults& defaults_;
    SystemLog& log_;
    QDBusServiceWatcher* watcher_ = nullptr;
    State state_ = State::idle;
    unsigned version_ = 0;
    /// Tells a stale answer from one to the current attempt.
    int attempt_ = 0;
    int tokens_ = 0;
    int startedSessions_ = 0;
    QString pendingRequest_;
    Step pendingStep_ = nullptr;
    QString session_;
    NotifyQueue queue_{bus_};
    std::set<int> pressed_;
    bool scrolling_ = false;
};

} // namespace tovali
