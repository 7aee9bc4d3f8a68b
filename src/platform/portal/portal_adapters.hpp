#pragma once

#include <QDBusConnection>
#include <memory>
#include <string_view>

#include "platform/accessibility.hpp"
#include "platform/event_poster.hpp"
#include "platform/portal/portal_session.hpp"

namespace tovali {

class Defaults;
class Displays;
class SystemLog;

/// The pointer through the RemoteDesktop portal. The session outlives the adapters that use it.
struct PortalAdapters {
    std::unique_ptr<PortalSession> session;
    std::unique_ptr<EventPoster> events;
    std::unique_ptr<Accessibility> accessibility;
};

/// The route on `bus`, scrolling the way the desktop named by `currentDesktop` (as in
/// XDG_CURRENT_DESKTOP) expects. Nothing is asked of the desktop until the permission is.
PortalAdapters makePortalAdapters(QDBusConnection bus, Displays& displays, Defaults& defaults,
                                  SystemLog& log, double doubleClickInterval,
                                  std::string_view currentDesktop);

/// Whether a portal on `bus` offers RemoteDesktop, waiting at most `timeoutMs` for its answer.
bool portalOffersRemoteDesktop(QDBusConnection bus, int timeoutMs);

} // namespace tovali
