#pragma once

// bluetoothd 5.66's rules as the stand-in applies them: names, limits, parsing of what an
// application registers, and the mapping of its answers to ATT errors.
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <map>
#include <optional>

#include "support/bluez_stand_in.hpp"

namespace tovali::test::standin {

using bluez::InterfaceMap;
using bluez::ManagedObjects;

// The names bluetoothd answers to, as the adapter knows them.
using bluez::adapterInterface;
using bluez::advertisementInterface;
using bluez::advertisingManagerInterface;
using bluez::deviceInterface;
using bluez::gattManagerInterface;
using bluez::objectManagerInterface;
using bluez::propertiesInterface;
inline const QString& bluezName = bluez::busName;
inline const QString& serviceInterface = bluez::gattServiceInterface;
inline const QString& characteristicInterface = bluez::gattCharacteristicInterface;
inline const QString& failed = bluez::failedError;
inline const QString introspectableInterface =
    QStringLiteral("org.freedesktop.DBus.Introspectable");

inline const QString bluezRoot = QStringLiteral("/org/bluez");
inline const QString adapterPath = QStringLiteral("/org/bluez/hci0");
inline const QString adapterAddress = QStringLiteral("00:1A:7D:DA:71:13");
inline const QString adapterName = QStringLiteral("tovali-stand-in");

inline const QString invalidArguments = QStringLiteral("org.bluez.Error.InvalidArguments");
inline const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
inline const QString unknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
inline const QString parseFailure = QStringLiteral("Failed to parse advertisement.");

inline constexpr int attributeTimeoutMs = 5000;
inline constexpr int maxAdvertisements = 5;
inline constexpr qsizetype maxValue = 512;
// 5.66 counts the PDU header against the value (fixed in 5.69).
inline constexpr qsizetype maxSingleWrite = 510;
inline constexpr qsizetype maxLongWrite = 508;

namespace att {
inline constexpr std::uint8_t invalidHandle = 0x01;
inline constexpr std::uint8_t readNotPermitted = 0x02;
inline constexpr std::uint8_t writeNotPermitted = 0x03;
inline constexpr std::uint8_t requestNotSupported = 0x06;
inline constexpr std::uint8_t invalidOffset = 0x07;
inline constexpr std::uint8_t insufficientAuthorization = 0x08;
inline constexpr std::uint8_t invalidValueLength = 0x0D;
inline constexpr std::uint8_t unlikely = 0x0E;
inline constexpr std::uint8_t procedureInProgress = 0xFE;
} // namespace att

inline const QStringList supportedIncludes = {"tx-power", "appearance", "local-name"};

/// What a characteristic's flags grant, as parse_chrc_flags() sets it; the encrypted and
/// authenticated variants are left out, as nothing here asks for them.
struct Access {
    bool read = false;
    bool write = false;
    bool notify = false;
};

inline Access accessOf(const QStringList& flags) {
    Access a;
    for (const QString& flag : flags) {
        a.read = a.read || flag.endsWith("read");
        a.write = a.write || flag.endsWith("write") || flag == "write-without-response" ||
                  flag == "authenticated-signed-writes";
        a.notify = a.notify || flag.endsWith("notify") || flag.endsWith("indicate");
    }
    return a;
}

// check_permissions(): without any permission at all (notify only) the request goes through
// to the application.
inline std::uint8_t refusal(const QStringList& flags, bool writing) {
    const Access a = accessOf(flags);
    if (!a.read && !a.write)
        return 0;
    if (writing ? !a.write : !a.read)
        return writing ? att::writeNotPermitted : att::readNotPermitted;
    return 0;
}

// dbus_error_to_att_ecode().
inline std::uint8_t attErrorFor(const QDBusMessage& reply, bool writing) {
    const QString name = reply.errorName();
    if (name == failed) {
        const QByteArray text = reply.errorMessage().toUtf8();
        if (text.isEmpty())
            return att::unlikely;
        char* end = nullptr;
        const long code = std::strtol(text.constData(), &end, 0);
        if (end == text.constData())
            return 0x80;
        return code >= 0x80 && code <= 0x9f ? static_cast<std::uint8_t>(code) : att::unlikely;
    }
    if (name == "org.bluez.Error.NotSupported")
        return att::requestNotSupported;
    if (name == "org.bluez.Error.NotAuthorized")
        return att::insufficientAuthorization;
    if (name == "org.bluez.Error.InvalidValueLength")
        return att::invalidValueLength;
    if (name == "org.bluez.Error.InvalidOffset")
        return att::invalidOffset;
    if (name == "org.bluez.Error.InProgress")
        return att::procedureInProgress;
    if (name == "org.bluez.Error.NotPermitted")
        return writing ? att::writeNotPermitted : att::readNotPermitted;
    return att::unlikely;
}

inline const QString baseUuidTail = QStringLiteral("-0000-1000-8000-00805f9b34fb");

// The forms bt_string_to_uuid() takes, in the 128-bit lower-case form; empty for anything else.
inline QString fullUuid(const QString& text) {
    static const QRegularExpression longForm(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression shortForm(QStringLiteral("^(?:0x)?([0-9a-f]{4}|[0-9a-f]{8})$"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (longForm.match(text).hasMatch())
        return text.toLower();
    const QRegularExpressionMatch match = shortForm.match(text);
    if (!match.hasMatch())
        return {};
    return match.captured(1).toLower().rightJustified(8, '0') + baseUuidTail;
}

template <typename T>
bool holds(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<T>();
}

inline std::optional<std::map<QString, InterfaceMap>> managedObjects(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != "a{oa{sa{sv}}}")
        return std::nullopt;
    const auto argument = reply.arguments().at(0).value<QDBusArgument>();
    std::map<QString, InterfaceMap> objects;
    argument.beginMap();
    while (!argument.atEnd()) {
        QDBusObjectPath path;
        InterfaceMap interfaces;
        argument.beginMapEntry();
        argument >> path >> interfaces;
        argument.endMapEntry();
        objects[path.path()] = interfaces;
    }
    argument.endMap();
    return objects;
}

struct Parsed {
    std::optional<BluezStandIn::Application> application;
    QString error;
};

// client_ready_cb() reads every object under the root. Only what our tests need is checked
// here: the real bluetoothd's finer rules are met in the VM test.
inline Parsed parseApplication(const QString& owner, const QString& root,
                               const QDBusMessage& reply) {
    const auto objects = managedObjects(reply);
    if (!objects)
        return {std::nullopt, "No object received"};
    BluezStandIn::Application app;
    app.owner = owner;
    app.path = root;
    std::map<QString, QVariantMap> services;
    for (const auto& [path, interfaces] : *objects) {
        if (path.startsWith(root) && interfaces.contains(serviceInterface))
            services[path] = interfaces.value(serviceInterface);
    }
    for (const auto& [path, interfaces] : *objects) {
        const QVariantMap properties = interfaces.value(characteristicInterface);
        if (!path.startsWith(root) || properties.isEmpty())
            continue;
        const QString service = properties.value("Service").value<QDBusObjectPath>().path();
        const QStringList flags = properties.value("Flags").toStringList();
        if (services.count(service) == 0 || flags.isEmpty())
            return {std::nullopt, "No valid service object found"};
        app.characteristics.push_back(
            {path, properties.value("UUID").toString().toLower(), flags, service});
    }
    if (services.empty())
        return {std::nullopt, "No valid service object found"};
    app.serviceUuid = services.begin()->second.value("UUID").toString().toLower();
    return {app, {}};
}

inline std::optional<BluezStandIn::Advertisement>
parseAdvertisement(const QString& owner, const QString& path, const QVariantMap& properties) {
    BluezStandIn::Advertisement ad;
    ad.owner = owner;
    ad.path = path;
    ad.type = properties.value("Type").toString();
    if (ad.type != "broadcast" && ad.type != "peripheral")
        return std::nullopt;
    ad.serviceUuids = properties.value("ServiceUUIDs").toStringList();
    ad.localName = properties.value("LocalName").toString();
    return ad;
}

inline QString devicePath(const QString& address) {
    return adapterPath + "/dev_" + address.toUpper().replace(':', '_');
}

} // namespace tovali::test::standin
