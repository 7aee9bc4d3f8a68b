#pragma once

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <deque>
#include <optional>

namespace tovali {

/// Sends one session's Notify calls so that the desktop sees them in an order that matters.
/// The frontend handles each call on a thread of its own, so two calls in flight may reach the
/// desktop either way round: harmless for motion and scrolling, which add up the same, but a
/// release that overtakes its press leaves the button held. So a button, or the end of a
/// scroll, waits until everything before it has been answered, and everything after it waits
/// for its answer. Motion that waits meanwhile is summed into one call.
class NotifyQueue : public QObject {
public:
    /// Calls awaiting an answer, at most: the bus refuses more than 128 from one connection
    /// unless configured otherwise, and a portal that lags should get sums, not a backlog.
    static constexpr int maxInFlight = 64;

    explicit NotifyQueue(QDBusConnection bus) : bus_(std::move(bus)) {}

    /// Drops what waits: it belonged to the previous session.
    void setSession(const QString& session);
    void motion(double dx, double dy);
    void button(int code, bool pressed);
    void axis(double dx, double dy, bool finish);
    /// Waits for what is in flight, then sends what waits and waits for each answer, for when
    /// the application quits.
    void flush(int timeoutMs);

private:
    struct Notify {
        QString method;
        QVariantMap options;
        QVariant first;
        QVariant second;
        /// Must not pass or be passed by any other call.
        bool ordered = false;
    };

    void push(Notify notify);
    void pump();
    QDBusMessage message(const Notify& notify) const;

    QDBusConnection bus_;
    QString session_;
    std::deque<Notify> waiting_;
    int inFlight_ = 0;
    std::optional<QDBusPendingCall> ordered_;
    /// Tells answers for the current session from older ones.
    int generation_ = 0;
};

} // namespace tovali
