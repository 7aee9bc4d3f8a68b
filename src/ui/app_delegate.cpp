#include "ui/app_delegate.hpp"

#include <optional>
#include <string>
#include <utility>

#include "link/watch_name.hpp"

namespace tovali {
namespace {

/// The watch the accessibility panel names: one that is connected while events may not be
/// posted.
std::optional<std::string> watchLackingPermission(const Status& status, bool accessibilityAllowed) {
    if (status.kind() == Status::Case::connected && !accessibilityAllowed) {
        return shownName(status.text());
    }
    return std::nullopt;
}

} // namespace

AppDelegate::AppDelegate(BluetoothServer::Platform platform)
    : accessibility_(platform.accessibility), server_(std::move(platform)),
      accessibilityPanel_(accessibility_) {}

void AppDelegate::applicationDidFinishLaunching() {
    subscription_ =
        observe(server_.pairingRequest(),
                removingDuplicates<std::optional<PairingRequest>>(
                    [this](const std::optional<PairingRequest>& request) {
                        if (request) {
                            // The answer names the request it was given for,
                            // so it cannot approve one that replaced it.
                            pairingPanel_.show(*request, [this, shown = *request](bool allow) {
                                server_.answerPairing(shown, allow);
                            });
                        } else {
                            pairingPanel_.close();
                        }
                    }));

    accessibilitySubscription_ =
        observeLatest(server_.status(), server_.accessibilityAllowed(),
                      std::function<void(const Status&, const bool&)>(
                          [showOrClose = removingDuplicates<std::optional<std::string>>(
                               [this](const std::optional<std::string>& watchName) {
                                   if (watchName) {
                                       accessibilityPanel_.show(*watchName);
                                   } else {
                                       accessibilityPanel_.close();
                                   }
                               })](const Status& status, const bool& allowed) mutable {
                              showOrClose(watchLackingPermission(status, allowed));
                          }));

    if (!accessibility_.isProcessTrusted()) {
        accessibility_.promptForPermission();
    }
}

} // namespace tovali
