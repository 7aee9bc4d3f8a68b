#include "platform/portal/portal_adapters.hpp"

#include <QDBusMessage>

#include "platform/portal/portal_accessibility.hpp"
#include "platform/portal/portal_event_poster.hpp"

namespace tovali {

PortalAdapters makePortalAdapters(QDBusConnection bus, Displays& displays, Defaults& defaults,
                                  SystemLog& log, double doubleClickInterval,
                                  std::string_view currentDesktop) {
    PortalAdapters route;
    route.session = std::make_unique<PortalSession>(std::move(bus), defaults, log);
    route.events = std::make_unique<PortalEventPoster>(
        *route.session, displays, doubleClickInterval, scrollStyleFor(currentDesktop));
    route.accessibility = std::make_unique<PortalAccessibility>(*route.session);
    return route;
}

bool portalOffersRemoteDesktop(QDBusConnection bus, int timeoutMs) {
    auto call = QDBusMessage::createMethodCall(portal::service, portal::objectPath,
                                               QStringLiteral("org.freedesktop.DBus.Properties"),
                                               QStringLiteral("Get"));
    call.setArguments({portal::remoteDesktopInterface, QStringLiteral("version")});
    // Without a RemoteDesktop backend the frontend refuses this with InvalidArgs.
    return bus.call(call, QDBus::Block, timeoutMs).type() == QDBusMessage::ReplyMessage;
}

} // namespace tovali
