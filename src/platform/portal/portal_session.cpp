#include "platform/portal/portal_session.hpp"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include "platform/defaults.hpp"
#include "platform/system_log.hpp"

namespace tovali {

namespace {

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString serviceUnknownError = QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
/// Long enough for a portal that answers at all; a hung one must not hold up quitting.
constexpr int closeTimeoutMs = 1000;
/// Until the user revokes it.
constexpr unsigned persistUntilRevoked = 2;

QVariant objectPath(const QString& path) {
    return QVariant::fromValue(QDBusObjectPath(path));
}

// 1.16 hands the session over as a string, later versions as an object path.
QString pathIn(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.metaType() == QMetaType::fromType<QString>() ? value.toString() : QString();
}

} // namespace

PortalSession::PortalSession(QDBusConnection bus, Defaults& defaults, SystemLog& log)
    : bus_(std::move(bus)), defaults_(defaults), log_(log) {
    // Every answer is subscribed to before the first call, so none can come too early.
    bus_.connect(portal::service, QString(), portal::requestInterface, QStringLiteral("Response"),
                 this, SLOT(onResponse(QDBusMessage)));
    bus_.connect(portal::service, QString(), portal::sessionInterface, QStringLiteral("Closed"),
                 this, SLOT(onClosed(QDBusMessage)));
    watcher_ = new QDBusServiceWatcher(portal::service, bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                // The portal's sessions die with it.
                if (!oldOwner.isEmpty() &&
                    (state_ == State::starting || state_ == State::started)) {
                    session_.clear();
                    fail(State::gone, QStringLiteral("the portal left the bus"));
                }
                if (!newOwner.isEmpty() && state_ == State::gone)
                    start();
            });
}

PortalSession::~PortalSession() {
    if (holdsPointer()) {
        for (const int code : std::set<int>(pressed_))
            setButton(code, false);
        queue_.flush(closeTimeoutMs);
    }
    if (!pendingRequest_.isEmpty()) {
        // Takes the desktop's dialog away.
        bus_.send(QDBusMessage::createMethodCall(
            portal::service, pendingRequest_, portal::requestInterface, QStringLiteral("Close")));
    }
    closeSession(true);
}

void PortalSession::start() {
    if (state_ == State::starting || state_ == State::started)
        return;
    ++attempt_;
    state_ = State::starting;
    askVersion();
}

void PortalSession::askVersion() {
    auto call = QDBusMessage::createMethodCall(portal::service, portal::objectPath,
                                               propertiesInterface, QStringLiteral("Get"));
    call.setArguments({portal::remoteDesktopInterface, QStringLiteral("version")});
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, attempt = attempt_](QDBusPendingCallWatcher*) {
                watcher->deleteLater();
                if (attempt != attempt_)
                    return;
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ErrorMessage) {
                    // A portal that is not there yet may still come; one without a
                    // RemoteDesktop backend will not.
                    fail(reply.errorName() == serviceUnknownError ? State::gone : State::refused,
                         reply.errorMessage());
                    return;
                }
                version_ = reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
                createSession({});
            });
}

void PortalSession::request(const QString& method, QVariantList arguments, QVariantMap options,
                            Step next) {
    const QString token = QStringLiteral("tovali%1").arg(++tokens_);
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    const QString sender = bus_.baseService().mid(1).replace('.', '_');
    const QString predicted =
        QStringLiteral("%1/request/%2/%3").arg(portal::objectPath, sender, token);
    pendingRequest_ = predicted;
    pendingStep_ = next;

    auto call = QDBusMessage::createMethodCall(portal::service, portal::objectPath,
                                               portal::remoteDesktopInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, method, predicted, attempt = attempt_](QDBusPendingCallWatcher*) {
                watcher->deleteLater();
                if (attempt != attempt_)
                    return;
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ErrorMessage) {
                    fail(State::refused, method + QStringLiteral(": ") + reply.errorMessage());
                    return;
                }
                // A portal older than handle_token picks the request's path itself.
                const QString handle = pathIn(reply.arguments().value(0));
                if (pendingRequest_ == predicted && !handle.isEmpty())
                    pendingRequest_ = handle;
            });
}

void PortalSession::onResponse(const QDBusMessage& message) {
    if (pendingRequest_.isEmpty() || message.path() != pendingRequest_)
        return;
    if (message.signature() != QStringLiteral("ua{sv}")) {
        fail(State::refused, QStringLiteral("an answer of the wrong shape"));
        return;
    }
    const unsigned code = message.arguments().at(0).toUInt();
    const auto results = qdbus_cast<QVariantMap>(message.arguments().at(1));
    const Step next = pendingStep_;
    pendingRequest_.clear();
    pendingStep_ = nullptr;
    if (code != 0) {
        fail(State::refused, code == 1 ? QStringLiteral("the user cancelled")
                                       : QStringLiteral("the desktop ended the request"));
        return;
    }
    (this->*next)(results);
}

void PortalSession::createSession(const QVariantMap&) {
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), QStringLiteral("tovali%1").arg(++tokens_)}},
            &PortalSession::selectDevices);
}

void PortalSession::selectDevices(const QVariantMap& results) {
    session_ = pathIn(results.value(QStringLiteral("session_handle")));
    if (session_.isEmpty()) {
        fail(State::refused, QStringLiteral("CreateSession gave no session"));
        return;
    }
    QVariantMap options{{QStringLiteral("types"), QVariant::fromValue(portal::pointerDevice)}};
    // Older portals drop options they do not know without a word, so only ask where they count.
    if (version_ >= 2) {
        options.insert(QStringLiteral("persist_mode"), QVariant::fromValue(persistUntilRevoked));
        if (const auto token = defaults_.data(restoreTokenName); token && !token->empty()) {
            options.insert(QStringLiteral("restore_token"),
                           QString::fromUtf8(reinterpret_cast<const char*>(token->data()),
                                             static_cast<qsizetype>(token->size())));
        }
    }
    request(QStringLiteral("SelectDevices"), {objectPath(session_)}, options,
            &PortalSession::startSession);
}

void PortalSession::startSession(const QVariantMap&) {
    request(QStringLiteral("Start"), {objectPath(session_), QString()}, {},
            &PortalSession::started);
}

void PortalSession::started(const QVariantMap& results) {
    // Each token is good for one start only, so the newest must replace the stored one.
    const QVariant token = results.value(QStringLiteral("restore_token"));
    if (token.metaType() == QMetaType::fromType<QString>()) {
        const QByteArray bytes = token.toString().toUtf8();
        if (!defaults_.setData(restoreTokenName,
                               ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                        static_cast<std::size_t>(bytes.size()))))
            log_.write("tovali: cannot store the remote desktop permission's restore token");
    }
    if (!(results.value(QStringLiteral("devices")).toUInt() & portal::pointerDevice)) {
        fail(State::refused, QStringLiteral("the desktop did not give the pointer"));
        return;
    }
    ++startedSessions_;
    queue_.setSession(session_);
    state_ = State::started;
}

void PortalSession::onClosed(const QDBusMessage& message) {
    if (session_.isEmpty() || message.path() != session_)
        return;
    session_.clear();
    fail(State::closed, QStringLiteral("the desktop ended the session"));
}

void PortalSession::fail(State state, const QString& why) {
    log_.write("tovali: remote desktop portal: " + why.toStdString());
    // Answers still on their way belong to the attempt that failed.
    ++attempt_;
    pendingRequest_.clear();
    pendingStep_ = nullptr;
    closeSession(false);
    // Whatever the desktop still holds goes with the session.
    queue_.setSession({});
    pressed_.clear();
    scrolling_ = false;
    state_ = state;
}

void PortalSession::closeSession(bool wait) {
    if (session_.isEmpty())
        return;
    const auto call = QDBusMessage::createMethodCall(
        portal::service, session_, portal::sessionInterface, QStringLiteral("Close"));
    session_.clear();
    if (wait)
        bus_.call(call, QDBus::Block, closeTimeoutMs);
    else
        bus_.send(call);
}

void PortalSession::moveBy(double dx, double dy) {
    if (holdsPointer() && (dx != 0.0 || dy != 0.0))
        queue_.motion(dx, dy);
}

void PortalSession::setButton(int code, bool pressed) {
    if (!holdsPointer())
        return;
    if (pressed ? !pressed_.insert(code).second : pressed_.erase(code) == 0)
        return;
    queue_.button(code, pressed);
}

void PortalSession::scroll(double dx, double dy) {
    if (!holdsPointer() || (dx == 0.0 && dy == 0.0))
        return;
    scrolling_ = true;
    queue_.axis(dx, dy, false);
}

void PortalSession::endScroll() {
    if (!holdsPointer() || !scrolling_)
        return;
    scrolling_ = false;
    queue_.axis(0.0, 0.0, true);
}

} // namespace tovali
