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
    const QString method = QStringLiteral("NotifyPointerMotion");
    if (!waiting_.empty() && waiting_.back().method == method) {
        waiting_.back().first = waiting_.back().first.toDouble() + dx;
        waiting_.back().second = waiting_.back().second.toDouble() + dy;
        return;
    }
    push({method, {}, dx, dy});
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
    waiting_.push_back(std::move(notify));
    pump();
}

void NotifyQueue::pump() {
    while (!waiting_.empty() && !ordered_ && (inFlight_ == 0 || !waiting_.front().ordered)) {
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
    if (ordered_)
        ordered_->waitForFinished();
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
