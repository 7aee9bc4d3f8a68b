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

} // namespace

PortalStandIn::PortalStandIn(const std::string& address, bool frontend)
    : frontend_(frontend), name_(QStringLiteral("tovali-portal-stand-in-%1").arg(++connections)),
      connection_(QDBusConnection::connectToBus(QString::fromStdString(address), name_)) {
    running_ =
        connection_.isConnected() &&
        connection_.registerVirtualObject(desktopPath, this, QDBusConnection::SubPath) &&
        connection_.registerService(frontend ? "org.freedesktop.portal.Desktop" : backendName);
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
    connection_.send(QDBusMessage::createSignal(session_,
                                                frontend_ ? "org.freedesktop.portal.Session"
                                                          : "org.freedesktop.impl.portal.Session",
                                                "Closed"));
}

bool PortalStandIn::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    if (message.interface() == "org.freedesktop.DBus.Properties") {
        const QVariantMap properties{{"version", frontend_ ? 2U : 1U},
                                     {"AvailableDeviceTypes", 7U}};
        const QVariant asked = properties.value(arguments.value(1).toString());
        connection_.send(message.createReply(
            member == "Get" ? QVariant::fromValue(QDBusVariant(asked)) : QVariant(properties)));
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
    // The backend is told the session's path; the frontend picks one.
    if (member == "CreateSession")
        session_ = frontend_ ? desktopPath + "/session/" + QString::number(calls_.size())
                             : arguments.value(1).value<QDBusObjectPath>().path();
    const bool request =
        member == "CreateSession" || member == "SelectDevices" || member == "Start";
    QVariantMap results = member == "Start" ? startResults : QVariantMap();
    results["devices"] = 2U;
    results["session_handle"] = session_;
    const QVariantList response{member == "Start" ? startCode : 0U, results};
    // Requests are answered with a response code and results, the frontend's in a signal on the
    // request's path; the rest with nothing.
    connection_.send(message.createReply(request && !frontend_ ? response : QVariantList()));
    if (request && frontend_) {
        const QString handle = QStringLiteral("%1/request/%2/%3")
                                   .arg(desktopPath, message.service().mid(1).replace('.', '_'),
                                        call.options.value("handle_token").toString());
        auto signal =
            QDBusMessage::createSignal(handle, "org.freedesktop.portal.Request", "Response");
        connection_.send(signal << response.at(0) << response.at(1));
    }
    return true;
}

PortalWorld::PortalWorld(const std::string& busAddress) : address_(busAddress) {
    if (address_.empty()) {
        bus_ = std::make_unique<SessionBus>();
        address_ = bus_->address();
        error_ = bus_->error();
        if (!bus_->running())
            return;
    }
    backend_ = std::make_unique<PortalStandIn>(address_);
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
