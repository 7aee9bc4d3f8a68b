#include "platform/portal/notify_queue.hpp"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

#include "platform/portal/portal_session.hpp"

namespace tovali {

void NotifyQueue::setSession(const QString& session) {
    session_ = session;
    waiting_.clear();
    inFlight_ = 0;
    ordered_.reset();
    ++generation_;
}

void NotifyQueue::motion(double dx, double dy) {
    push({QStringLiteral("NotifyPointerMotion"), {}, dx, dy});
}

void NotifyQueue::button(int code, bool pressed) {
    push({QStringLiteral("NotifyPointerButton"),
          {},
          code,
          QVariant::fromValue(unsigned{pressed}),
          true});
}

void NotifyQueue::axis(double dx, double dy, bool finish) {
    push({QStringLiteral("NotifyPointerAxis"),
          finish ? QVariantMap{{QStringLiteral("finish"), true}} : QVariantMap(), dx, dy, finish});
}

void NotifyQueue::push(Notify notify) {
    // Motion and scrolling that wait add up to the same movement in one call.
    if (!notify.ordered && !waiting_.empty() && !waiting_.back().ordered &&
        waiting_.back().method == notify.method) {
        Notify& last = waiting_.back();
        last.first = last.first.toDouble() + notify.first.toDouble();
        last.second = last.second.toDouble() + notify.second.toDouble();
        return;
    }
    waiting_.push_back(std::move(notify));
    pump();
}

void NotifyQueue::pump() {
    while (!waiting_.empty() && !ordered_ && inFlight_ < maxInFlight &&
           (inFlight_ == 0 || !waiting_.front().ordered)) {
        const Notify notify = std::move(waiting_.front());
        waiting_.pop_front();
        const QDBusPendingCall call = bus_.asyncCall(message(notify));
        ++inFlight_;
        if (notify.ordered)
            ordered_ = call;
        auto* watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, watcher, generation = generation_](QDBusPendingCallWatcher*) {
                    watcher->deleteLater();
                    if (generation != generation_)
                        return;
                    // Only an ordered call is ever in flight alone.
                    --inFlight_;
                    ordered_.reset();
                    pump();
                });
    }
}

void NotifyQueue::flush(int timeoutMs) {
    // Calls sent from here are blocking ones that would overtake those still in flight, such
    // as a press overtaking the move to where it belongs. The new generation keeps their
    // answers from sending more.
    ++generation_;
    for (auto* watcher : findChildren<QDBusPendingCallWatcher*>())
        watcher->waitForFinished();
    inFlight_ = 0;
    ordered_.reset();
    for (const Notify& notify : waiting_)
        bus_.call(message(notify), QDBus::Block, timeoutMs);
    waiting_.clear();
}

QDBusMessage NotifyQueue::message(const Notify& notify) const {
    auto call = QDBusMessage::createMethodCall(portal::service, portal::objectPath,
                                               portal::remoteDesktopInterface, notify.method);
    call.setArguments({QVariant::fromValue(QDBusObjectPath(session_)), notify.options, notify.first,
                       notify.second});
    return call;
}

} // namespace tovali
