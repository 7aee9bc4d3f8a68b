#include <QDBusConnection>
#include <cstdlib>

#include "platform/portal/portal_adapters.hpp"
#include "platform/qt/qt_displays.hpp"
#include "ui/pointer_route.hpp"

namespace tovali {
namespace {

// A portal that is slow to answer at start is taken as absent rather than holding Tovali up.
constexpr int portalAnswerMilliseconds = 2000;

class PortalRoute final : public PointerRoute {
public:
    explicit PortalRoute(const RouteContext& context) {
        const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
        adapters_ = makePortalAdapters(QDBusConnection::sessionBus(), displays_, context.defaults,
                                       context.log, context.doubleClickInterval,
                                       desktop != nullptr ? desktop : "");
    }

    std::string description() override { return "the RemoteDesktop portal"; }
    EventPoster& events() override { return *adapters_.events; }
    Displays& displays() override { return displays_; }
    Accessibility& accessibility() override { return *adapters_.accessibility; }

private:
    QtDisplays displays_;
    PortalAdapters adapters_;
};

} // namespace

std::unique_ptr<PointerRoute> makePortalRoute(const RouteContext& context) {
    if (!portalOffersRemoteDesktop(QDBusConnection::sessionBus(), portalAnswerMilliseconds))
        return nullptr;
    return std::make_unique<PortalRoute>(context);
}

} // namespace tovali
