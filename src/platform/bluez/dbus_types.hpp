#pragma once

#include <QByteArray>
#include <QDBusObjectPath>
#include <QMap>
#include <QString>
#include <QVariantMap>

#include "common/bytes.hpp"

namespace tovali::bluez {

inline const QString busName = QStringLiteral("org.bluez");
inline const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
inline const QString deviceInterface = QStringLiteral("org.bluez.Device1");
inline const QString gattManagerInterface = QStringLiteral("org.bluez.GattManager1");
inline const QString advertisingManagerInterface =
    QStringLiteral("org.bluez.LEAdvertisingManager1");
inline const QString gattServiceInterface = QStringLiteral("org.bluez.GattService1");
inline const QString gattCharacteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
inline const QString advertisementInterface = QStringLiteral("org.bluez.LEAdvertisement1");
inline const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

inline const QString notPermittedError = QStringLiteral("org.bluez.Error.NotPermitted");
inline const QString invalidOffsetError = QStringLiteral("org.bluez.Error.InvalidOffset");
inline const QString failedError = QStringLiteral("org.bluez.Error.Failed");
inline const QString alreadyExistsError = QStringLiteral("org.bluez.Error.AlreadyExists");
inline const QString accessDeniedError = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");

/// An object's interfaces with their properties: a{sa{sv}}.
using InterfaceMap = QMap<QString, QVariantMap>;
/// GetManagedObjects' answer: a{oa{sa{sv}}}.
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

/// Makes the two maps known to QtDBus; safe to call more than once.
void registerDBusTypes();

/// Bytes as QtDBus carries them (ay).
QByteArray toQByteArray(ByteView bytes);

} // namespace tovali::bluez
