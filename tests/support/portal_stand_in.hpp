#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.hpp"
#include "support/session_bus.hpp"

namespace tovali::test {

/// The desktop's side of the RemoteDesktop portal (its backend, behind the real frontend) on a
/// private bus, answering at once as a user who allows everything would, unless told otherwise.
/// As the frontend it stands in for a portal newer (version 2) than the one installed.
class PortalStandIn : public QDBusVirtualObject {
public:
    struct Call {
        QString member;
        QVariantList arguments;
        /// The horizontal motion received before this call.
        double movedBefore = 0;
        /// Its a{sv} argument.
        QVariantMap options;
    };

    explicit PortalStandIn(const std::string& address, bool frontend = false);
    ~PortalStandIn() override;

    bool running() const { return running_; }
    std::vector<Call> callsTo(const QString& member) const;
    std::size_t callCount(const QString& member) const { return callsTo(member).size(); }
    void forgetCalls() { calls_.clear(); }
    /// Ends the latest session, as a user revoking it would.
    void closeSession();

    /// What Start answers: 0 allowed, 1 cancelled by the user.
    unsigned startCode = 0;
    /// The sum of the horizontal motion received.
    double movedX = 0;
    /// Added to Start's results.
    QVariantMap startResults;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override;

private:
    friend class PortalWorld;

    bool frontend_;
    QString name_;
    QDBusConnection connection_;
    bool running_ = false;
    std::vector<Call> calls_;
    QString session_;
};

/// The real xdg-desktop-portal with the stand-in as its RemoteDesktop backend, on a bus of its
/// own or on the one at `busAddress`. error() says why it could not start.
class PortalWorld {
public:
    explicit PortalWorld(const std::string& busAddress = {});

    const std::string& error() const { return error_; }
    QString address() const { return QString::fromStdString(address_); }
    PortalStandIn& backend() { return *backend_; }
    /// Starts the frontend and waits until it offers RemoteDesktop.
    bool startFrontend();
    void stopFrontend() { frontend_.stop(); }

private:
    std::unique_ptr<SessionBus> bus_;
    std::string address_;
    TemporaryFolder folder_{"tovali-portal"};
    std::unique_ptr<PortalStandIn> backend_;
    ChildProcess frontend_;
    std::string error_;
};

} // namespace tovali::test
