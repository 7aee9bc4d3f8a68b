#pragma once

#include <functional>
#include <memory>

#include "server/pairing_request.hpp"

class QWidget;

namespace tovali {

/// The floating panel that asks the user to allow a pending pairing. At most one is shown; the
/// panel never closes itself: the answer goes to the server, whose cleared request closes it.
/// Any watch in range can make it appear, so it never takes the keyboard, and its "Allow" works
/// only once the request has been shown for a second.
class PairingPanel {
public:
    using Answer = std::function<void(bool allow)>;

    PairingPanel();
    ~PairingPanel();
    PairingPanel(const PairingPanel&) = delete;
    PairingPanel& operator=(const PairingPanel&) = delete;

    /// Replaces any shown panel with a new one for this request.
    void show(const PairingRequest& request, Answer answer);
    void close();

    /// The panel window shown now, or null.
    QWidget* window() const;

private:
    struct Shown;
    std::unique_ptr<Shown> shown_;
};

} // namespace tovali
