#include "support/portal_stand_in.hpp"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

namespace {

const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString backendName = QStringLiteral("org.freedesktop.impl.portal.desktop.tovalitest");
int connections = 0;

// Where the frontend puts the object of a kind that a caller names by a token in its options.
QString frontendPath(const QDBusMessage& call, const QString& kind, const QString& token) {
    return QStringLiteral("%1/%2/%3/%4")
        .arg(desktopPath, kind, call.service().mid(1).replace('.', '_'),
             qdbus_cast<QVariantMap>(call.arguments().last()).value(token).toString());
}

} // namespace

PortalStandIn::PortalStandIn(const std::string& address, Role role, unsigned version)
    : role_(role), version_(version),
      name_(QStringLiteral("tovali-portal-stand-in-%1").arg(++connections)),
      connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name_)) {
    running_ = connection_.isConnected() &&
               connection_.registerVirtualObject(desktopPath, this, QDBusConnection::SubPath) &&
               connection_.registerService(role == Role::backend
                                               ? backendName
                                               : QStringLiteral("org.freedesktop.portal.Desktop"));
}

PortalStandIn::~PortalStandIn() {
    QDBusConnection::disconnectFromBus(name_);
}

std::vector<PortalStandIn::Call> PortalStandIn::callsTo(const QString& member) const {
    std::vector<Call> found;
    std::ranges::copy_if(calls_, std::back_inserter(found),
                         [&](const Call& call) { return call.member == member; });
    return found;
}

void PortalStandIn::closeSession() {
    const bool backend = role_ == Role::backend;
    auto closed = QDBusMessage::createSignal(session_,
                                             backend ? "org.freedesktop.impl.portal.Session"
                                                     : "org.freedesktop.portal.Session",
                                             "Closed");
    if (!backend)
        closed.setArguments({QVariantMap()});
    connection_.send(closed);
}

bool PortalStandIn::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    if (message.interface() == "org.freedesktop.DBus.Properties") {
        const QVariantMap properties{{"version", QVariant::fromValue(version_)},
                                     {"AvailableDeviceTypes", QVariant::fromValue(7U)}};
        const QVariant asked = properties.value(arguments.value(1).toString());
        connection_.send(message.createReply(
            member == "GetAll" ? QVariant(properties) : QVariant::fromValue(QDBusVariant(asked))));
        return true;
    }
    Call call{member, arguments, movedX, {}};
    for (const QVariant& argument : arguments) {
        if (argument.metaType() == QMetaType::fromType<QDBusArgument>())
            call.options = qdbus_cast<QVariantMap>(argument);
    }
    calls_.push_back(call);
    if (member == "NotifyPointerMotion")
        movedX += arguments.value(2).toDouble();

    if (member == "CreateSession") {
        // The backend is told the session's path; the frontend makes it from the token.
        session_ = role_ == Role::backend
                       ? arguments.value(1).value<QDBusObjectPath>().path()
                       : frontendPath(message, "session", "session_handle_token");
        answer(message, 0, {{"session_handle", session_}});
    } else if (member == "SelectDevices") {
        answer(message, 0, {});
    } else if (member == "Start") {
        QVariantMap results = startResults;
        results.insert("devices", QVariant::fromValue(2U));
        answer(message, startCode, results);
    } else {
        connection_.send(message.createReply());
    }
    return true;
}

void PortalStandIn::answer(const QDBusMessage& call, unsigned code, const QVariantMap& results) {
    const QVariantList response{QVariant::fromValue(code), results};
    if (role_ == Role::backend) {
        connection_.send(call.createReply(response));
        return;
    }
    // The public side answers with a request handle, then with the Response signal on it.
    const QString handle = frontendPath(call, "request", "handle_token");
    connection_.send(call.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
    auto signal = QDBusMessage::createSignal(handle, "org.freedesktop.portal.Request", "Response");
    signal.setArguments(response);
    connection_.send(signal);
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

bool PortalWorld::startFrontend() {
    const std::string log = folder_.path() + "/frontend.log";
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    error_ = frontend_.start({"/usr/libexec/xdg-desktop-portal"},
                             {"DBUS_SESSION_BUS_ADDRESS=" + address_,
                              "XDG_DESKTOP_PORTAL_DIR=" + folder_.path(),
                              "XDG_CURRENT_DESKTOP=tovalitest", "PATH=/usr/bin:/bin"},
                             fd, false, false);
    close(fd);
    // It owns its name once it offers its portals, having asked the backend, which answers on
    // this thread, for their properties.
    const auto bus = backend_->connection_.interface();
    if (error_.empty() &&
        !waitUntil([&] { return bus->isServiceRegistered("org.freedesktop.portal.Desktop"); },
                   10000))
        error_ = "xdg-desktop-portal did not start; its log:\n" + readLogTail(log);
    return error_.empty();
}

} // namespace tovali::test
