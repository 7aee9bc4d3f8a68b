#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/host_name.hpp"

namespace tovali {

/// The pretty host name that systemd-hostnamed keeps, else the kernel's host name. hostnamed
/// is asked in the background and followed from then on, so that asking here never waits for
/// it; until it answers, and wherever it is missing, the kernel's name stands in.
class HostnamedHostName final : public QObject, public HostName {
    Q_OBJECT
public:
    explicit HostnamedHostName(QDBusConnection bus = QDBusConnection::systemBus());
    ~HostnamedHostName() override;

    std::optional<std::string> localizedName() override;
    bool isKnown() override { return known_; }
    Subscription whenChanged(std::function<void()> changed) override;

private slots:
    void onPropertiesChanged(const QString& interface, const QVariantMap& changed,
                             const QStringList& invalidated);

private:
    void requestPrettyName();

    QDBusConnection bus_;
    void notify();

    QString prettyName_;
    bool known_ = false;
    std::map<int, std::function<void()>> observers_;
    int nextObserver_ = 0;
};

} // namespace tovali
