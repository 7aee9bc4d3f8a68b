#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <functional>
#include <optional>

#include "platform/bluez/dbus_types.hpp"
#include "platform/peripheral_manager.hpp"

namespace tovali::bluez {

/// The objects bluetoothd reads and calls: the GATT application (an object manager, one
/// service, its characteristics) and the advertisement. It answers only the caller it is told
/// to trust, checks every argument, and hands on reads and writes that the characteristic
/// takes; everything else is refused here.
class GattApplication : public QDBusVirtualObject {
public:
    /// Where bluetoothd's accepted calls go. `call` is kept to be answered later.
    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void readValue(const QDBusMessage& call, const CharacteristicDefinition& target,
                               const QString& device, std::uint16_t offset) = 0;
        virtual void writeValue(const QDBusMessage& call, const CharacteristicDefinition& target,
                                const QString& device, std::uint16_t offset,
                                const QByteArray& value) = 0;
        virtual void advertisementReleased() = 0;
    };

    static const QString rootPath;
    static const QString applicationPath;
    static const QString advertisementPath;

    /// `trusted` answers whether a unique bus name may call us.
    GattApplication(QDBusConnection bus, Handler& handler,
                    std::function<bool(const QString&)> trusted);
    ~GattApplication() override;

    /// Registers the object tree on the bus; false when the bus refuses.
    bool exportObjects();

    void setService(const ServiceDefinition& service) { service_ = service; }
    void setAdvertisement(const AdvertisementData& data) { advertisement_ = data; }

    /// Sends the characteristic's new value to bluetoothd, which notifies every central that
    /// subscribed to it.
    void sendValue(const Uuid& characteristic, const QByteArray& value);

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    QString introspect(const QString& path) const override;

private:
    QString characteristicPath(int index) const;
    /// The characteristic a path names, or -1.
    int characteristicIndex(const QString& path) const;
    ManagedObjects gattObjects() const;
    ManagedObjects advertisementObjects() const;
    /// The interfaces and properties of the object at `path`, none for a path we do not have.
    std::optional<InterfaceMap> objectAt(const QString& path) const;
    void answerProperties(const QDBusMessage& message, const InterfaceMap& object);
    void answerCharacteristic(const QDBusMessage& message, int index);
    void reply(const QDBusMessage& message, const QVariantList& arguments = {});
    void refuse(const QDBusMessage& message, const QString& error, const QString& text);

    QDBusConnection bus_;
    Handler& handler_;
    std::function<bool(const QString&)> trusted_;
    std::optional<ServiceDefinition> service_;
    std::optional<AdvertisementData> advertisement_;
    bool exported_ = false;
};

/// The name as it fits the scan response: at most 29 bytes, cut between characters.
QString advertisedName(const std::string& name);

} // namespace tovali::bluez
