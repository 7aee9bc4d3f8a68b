#include "support/portal_stand_in.hpp"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

namespace {

const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString backendName = QStringLiteral("org.freedesktop.impl.portal.desktop.tovalitest");

QVariant plain(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value);
    return value;
}

} // namespace

QVariantMap PortalStandIn::Call::options() const {
    for (const QVariant& argument : arguments) {
        if (argument.metaType() == QMetaType::fromType<QVariantMap>())
            return argument.toMap();
    }
    return {};
}

class PortalStandIn::Objects : public QDBusVirtualObject {
public:
    explicit Objects(PortalStandIn& portal) : portal_(portal) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        return portal_.handle(message);
    }

private:
    PortalStandIn& portal_;
};

PortalStandIn::PortalStandIn(const std::string& address, Role role, unsigned version)
    : role_(role), version_(version), objects_(std::make_unique<Objects>(*this)) {
    static int instances = 0;
    name_ = QStringLiteral("tovali-portal-stand-in-%1").arg(++instances);
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(address), name_));
    running_ =
        connection_->isConnected() &&
        connection_->registerVirtualObject(desktopPath, objects_.get(), QDBusConnection::SubPath) &&
        connection_->registerService(
            role == Role::backend ? backendName : QStringLiteral("org.freedesktop.portal.Desktop"));
}

PortalStandIn::~PortalStandIn() {
    connection_.reset();
    QDBusConnection::disconnectFromBus(name_);
}

std::vector<PortalStandIn::Call> PortalStandIn::callsTo(const QString& member) const {
    std::vector<Call> found;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(found),
                 [&](const Call& call) { return call.member == member; });
    return found;
}

std::size_t PortalStandIn::callCount(const QString& member) const {
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const Call& call) { return call.member == member; }));
}

void PortalStandIn::closeSession() {
    const bool backend = role_ == Role::backend;
    auto closed =
        QDBusMessage::createSignal(session_,
                                   backend ? QStringLiteral("org.freedesktop.impl.portal.Session")
                                           : QStringLiteral("org.freedesktop.portal.Session"),
                                   QStringLiteral("Closed"));
    if (!backend)
        closed.setArguments({QVariantMap()});
    connection_->send(closed);
}

bool PortalStandIn::handle(const QDBusMessage& message) {
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    if (message.interface() == QStringLiteral("org.freedesktop.DBus.Properties")) {
        const QVariantMap properties{
            {QStringLiteral("version"), QVariant::fromValue(version_)},
            {QStringLiteral("AvailableDeviceTypes"), QVariant::fromValue(7U)}};
        if (member == QStringLiteral("GetAll"))
            connection_->send(message.createReply(QVariant(properties)));
        else
            connection_->send(message.createReply(QVariant::fromValue(
                QDBusVariant(properties.value(arguments.value(1).toString())))));
        return true;
    }
    Call call{member, {}};
    for (const QVariant& argument : arguments)
        call.arguments.append(plain(argument));
    calls_.push_back(call);
    if (member == QStringLiteral("NotifyPointerMotion"))
        movedX += arguments.value(2).toDouble();

    if (member == QStringLiteral("CreateSession")) {
        // The backend is told the session's path; the frontend makes it from the token.
        session_ = role_ == Role::backend
                       ? arguments.value(1).value<QDBusObjectPath>().path()
                       : QStringLiteral("%1/session/%2/%3")
                             .arg(desktopPath, message.service().mid(1).replace('.', '_'),
                                  call.options().value("session_handle_token").toString());
        answer(message, 0, {{QStringLiteral("session_handle"), session_}});
    } else if (member == QStringLiteral("SelectDevices")) {
        answer(message, 0, {});
    } else if (member == QStringLiteral("Start")) {
        QVariantMap results = startResults;
        results.insert(QStringLiteral("devices"), QVariant::fromValue(2U));
        answer(message, startCode, results);
    } else {
        connection_->send(message.createReply());
    }
    return true;
}

void PortalStandIn::answer(const QDBusMessage& call, unsigned code, const QVariantMap& results) {
    const QVariantList response{QVariant::fromValue(code), results};
    if (role_ == Role::backend) {
        connection_->send(call.createReply(response));
        return;
    }
    // The public side answers with a request handle, then with the Response signal on it.
    const QString handle =
        QStringLiteral("%1/request/%2/%3")
            .arg(desktopPath, call.service().mid(1).replace('.', '_'),
                 qdbus_cast<QVariantMap>(call.arguments().last()).value("handle_token").toString());
    connection_->send(call.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
    auto signal = QDBusMessage::createSignal(
        handle, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
    signal.setArguments(response);
    connection_->send(signal);
}

PortalWorld::PortalWorld(const std::string& busAddress) : address_(busAddress) {
    if (address_.empty()) {
        bus_ = std::make_unique<SessionBus>();
        address_ = bus_->address();
        error_ = bus_->error();
        if (!bus_->running())
            return;
    }
    backend_ = std::make_unique<PortalStandIn>(address_, PortalStandIn::Role::backend);
    std::ofstream(folder_.path() + "/tovalitest.portal")
        << "[portal]\nDBusName=" << backendName.toStdString()
        << "\nInterfaces=org.freedesktop.impl.portal.RemoteDesktop;\nUseIn=tovalitest\n";
    if (!backend_->running())
        error_ = "the portal backend's stand-in cannot serve";
    else
        startFrontend();
}

PortalWorld::~PortalWorld() {
    frontend_.stop();
}

bool PortalWorld::startFrontend() {
    const std::string log = folder_.path() + "/frontend.log";
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    error_ = frontend_.start({"/usr/libexec/xdg-desktop-portal"},
                             {"DBUS_SESSION_BUS_ADDRESS=" + address_,
                              "XDG_DESKTOP_PORTAL_DIR=" + folder_.path(),
                              "XDG_CURRENT_DESKTOP=tovalitest", "PATH=/usr/bin:/bin"},
                             fd, false, false);
    close(fd);
    if (!error_.empty())
        return false;
    const QString probeName = QStringLiteral("tovali-portal-probe");
    {
        QDBusConnection probe = QDBusConnection::connectToBus(address(), probeName);
        auto get = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.portal.Desktop"), desktopPath,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get.setArguments(
            {QStringLiteral("org.freedesktop.portal.RemoteDesktop"), QStringLiteral("version")});
        // The backend answers the frontend on this thread, so the wait must run the loop.
        const bool up = waitUntil(
            [&] {
                QDBusPendingCall pending = probe.asyncCall(get);
                return waitUntil([&] { return pending.isFinished(); }, 1000) && !pending.isError();
            },
            10000);
        if (!up)
            error_ =
                "xdg-desktop-portal did not offer RemoteDesktop; its log:\n" + readLogTail(log);
    }
    QDBusConnection::disconnectFromBus(probeName);
    return error_.empty();
}

} // namespace tovali::test
