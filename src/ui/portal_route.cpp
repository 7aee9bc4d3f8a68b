#include "ui/pointer_route.hpp"

namespace tovali {

// Until the portal's adapters exist, the portal never answers.
std::unique_ptr<PointerRoute> makePortalRoute(const RouteContext&) {
    return nullptr;
}

} // namespace tovali
