#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "support/test_watch.hpp"

namespace tovali::test {

/// A UUID as BlueZ writes it.
QString uuidText(const Uuid& uuid);

/// A watch's side of the real radio: BlueZ's own central API on one controller of the system
/// bus, the way a phone or watch finds and uses a peripheral.
class BluezCentral : public QObject, public WatchRadio {
    Q_OBJECT
public:
    struct Found {
        QString device;
        QString name;
    };

    /// On the adapter at `adapter`, e.g. "/org/bluez/hci1".
    explicit BluezCentral(QString adapter);

    /// Scans for an advertisement of this service until one is seen; what was cached before is
    /// forgotten first, so that what is found was on the air.
    std::optional<Found> discover(const QString& serviceUuid, int timeoutMs);
    /// Connects and waits for the services; retried, since the emulated link sometimes drops the
    /// first attempt. Answers why it failed, or empty.
    QString connect(const QString& device);
    void disconnect();
    bool connected() const;

    /// The peer's characteristics of this service, by UUID (lower case), with their flags.
    QMap<QString, QStringList> characteristics(const QString& serviceUuid) const;
    /// Enables notifications of this characteristic and counts them; empty, or why it failed.
    QString subscribe(const Uuid& characteristic);
    int notifications() const { return notifications_; }

    std::uint64_t write(const Uuid& characteristic, Bytes value) override;
    std::optional<AttResult> responseTo(std::uint64_t token) const override;
    /// bluetoothd reads a long value whole, with as many blob reads as the MTU needs.
    std::optional<Bytes> readLong(const Uuid& characteristic) override;

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message);

private:
    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QList<QVariant>& arguments = {}, int timeoutMs = 25000) const;
    QVariant property(const QString& path, const QString& interface, const QString& name) const;
    QString characteristicPath(const Uuid& characteristic) const;

    QDBusConnection bus_;
    QString adapter_;
    QString device_;
    QString notifying_;
    int notifications_ = 0;
    std::map<std::uint64_t, AttResult> answers_;
    std::uint64_t nextToken_ = 1;
};

} // namespace tovali::test
