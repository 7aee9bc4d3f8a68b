#include "platform/bluez/gatt_application.hpp"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QStringList>

namespace tovali::bluez {

namespace {

const QString servicePath = QStringLiteral("/tovali/gatt/service0");
const QString characteristicPrefix = QStringLiteral("/tovali/gatt/service0/char");
const QString introspectableInterface = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString unknownMethodError = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
const QString unknownObjectError = QStringLiteral("org.freedesktop.DBus.Error.UnknownObject");

// The scan response holds the name alone, in 31 bytes less its two header bytes.
constexpr qsizetype scanResponseNameBytes = 29;

QString bluezUuid(const Uuid& uuid) {
    return QString::fromStdString(uuid.toString()).toLower();
}

// bluetoothd derives the attribute permissions from these flags: "write" alone makes it wait
// for our answer, "write-without-response" makes every write fire-and-forget, and "notify"
// alone leaves reads and writes to us.
QStringList bluezFlags(std::uint8_t properties) {
    using namespace characteristic_property;
    QStringList flags;
    if (properties & read)
        flags << QStringLiteral("read");
    if (properties & writeWithoutResponse)
        flags << QStringLiteral("write-without-response");
    if (properties & write)
        flags << QStringLiteral("write");
    if (properties & notify)
        flags << QStringLiteral("notify");
    return flags;
}

struct CallOptions {
    QString device;
    std::uint16_t offset = 0;
};

// Only the two options we use are checked; bluetoothd adds others ("link", "mtu") that we
// ignore whatever their type.
std::optional<CallOptions> parseOptions(const QVariant& argument) {
    if (argument.metaType() != QMetaType::fromType<QDBusArgument>())
        return std::nullopt;
    const auto options = qdbus_cast<QVariantMap>(argument);
    const QVariant device = options.value(QStringLiteral("device"));
    if (device.metaType() != QMetaType::fromType<QDBusObjectPath>())
        return std::nullopt;
    CallOptions parsed{device.value<QDBusObjectPath>().path()};
    if (const auto offset = options.constFind(QStringLiteral("offset")); offset != options.cend()) {
        if (offset->metaType() != QMetaType::fromType<ushort>())
            return std::nullopt;
        parsed.offset = offset->value<ushort>();
    }
    return parsed;
}

} // namespace

const QString GattApplication::rootPath = QStringLiteral("/tovali");
const QString GattApplication::applicationPath = QStringLiteral("/tovali/gatt");
const QString GattApplication::advertisementPath = QStringLiteral("/tovali/advertisement0");

QString advertisedName(const std::string& name) {
    QString text = QString::fromStdString(name);
    while (text.toUtf8().size() > scanResponseNameBytes)
        text.chop(text.back().isLowSurrogate() ? 2 : 1);
    return text;
}

GattApplication::GattApplication(QDBusConnection bus, Handler& handler,
                                 std::function<bool(const QString&)> trusted)
    : bus_(std::move(bus)), handler_(handler), trusted_(std::move(trusted)) {
    registerDBusTypes();
}

GattApplication::~GattApplication() {
    if (exported_)
        bus_.unregisterObject(rootPath, QDBusConnection::UnregisterTree);
}

bool GattApplication::exportObjects() {
    exported_ = bus_.registerVirtualObject(rootPath, this, QDBusConnection::SubPath);
    return exported_;
}

void GattApplication::sendValue(const Uuid& characteristic, const QByteArray& value) {
    if (!service_)
        return;
    const auto& characteristics = service_->characteristics;
    for (std::size_t index = 0; index < characteristics.size(); ++index) {
        if (characteristics[index].uuid != characteristic)
            continue;
        auto signal =
            QDBusMessage::createSignal(characteristicPath(static_cast<int>(index)),
                                       propertiesInterface, QStringLiteral("PropertiesChanged"));
        signal << gattCharacteristicInterface << QVariantMap{{QStringLiteral("Value"), value}}
               << QStringList();
        bus_.send(signal);
        return;
    }
}

QString GattApplication::characteristicPath(int index) const {
    return characteristicPrefix + QString::number(index);
}

int GattApplication::characteristicIndex(const QString& path) const {
    if (!service_ || !path.startsWith(characteristicPrefix))
        return -1;
    bool ok = false;
    const int index = QStringView(path).mid(characteristicPrefix.size()).toInt(&ok);
    const bool canonical = ok && path == characteristicPath(index);
    return canonical && index >= 0 &&
                   static_cast<std::size_t>(index) < service_->characteristics.size()
               ? index
               : -1;
}

ManagedObjects GattApplication::gattObjects() const {
    ManagedObjects objects;
    if (!service_)
        return objects;
    objects.insert(QDBusObjectPath(servicePath), *objectAt(servicePath));
    for (std::size_t index = 0; index < service_->characteristics.size(); ++index) {
        const QString path = characteristicPath(static_cast<int>(index));
        objects.insert(QDBusObjectPath(path), *objectAt(path));
    }
    return objects;
}

ManagedObjects GattApplication::advertisementObjects() const {
    ManagedObjects objects;
    if (auto object = objectAt(advertisementPath))
        objects.insert(QDBusObjectPath(advertisementPath), *object);
    return objects;
}

std::optional<InterfaceMap> GattApplication::objectAt(const QString& path) const {
    if (path == servicePath && service_) {
        return InterfaceMap{{gattServiceInterface,
                             {{QStringLiteral("UUID"), bluezUuid(service_->uuid)},
                              {QStringLiteral("Primary"), service_->primary}}}};
    }
    if (const int index = characteristicIndex(path); index >= 0) {
        const auto& characteristic = service_->characteristics[static_cast<std::size_t>(index)];
        return InterfaceMap{
            {gattCharacteristicInterface,
             {{QStringLiteral("UUID"), bluezUuid(characteristic.uuid)},
              {QStringLiteral("Service"), QVariant::fromValue(QDBusObjectPath(servicePath))},
              {QStringLiteral("Flags"), bluezFlags(characteristic.properties)}}}};
    }
    if (path == advertisementPath && advertisement_) {
        QStringList uuids;
        for (const Uuid& uuid : advertisement_->serviceUuids)
            uuids << bluezUuid(uuid);
        // Without "peripheral" bluetoothd advertises as a broadcaster nobody can connect to,
        // and some centrals pass over an advertiser that does not say it is discoverable.
        QVariantMap properties{{QStringLiteral("Type"), QStringLiteral("peripheral")},
                               {QStringLiteral("ServiceUUIDs"), uuids},
                               {QStringLiteral("Discoverable"), true}};
        if (const QString name = advertisedName(advertisement_->localName); !name.isEmpty())
            properties.insert(QStringLiteral("LocalName"), name);
        return InterfaceMap{{advertisementInterface, properties}};
    }
    return std::nullopt;
}

bool GattApplication::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    // bluetoothd alone may read or drive these objects; anyone else learns nothing.
    if (!trusted_(message.service())) {
        refuse(message, notPermittedError, QStringLiteral("Not permitted"));
        return true;
    }
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    if (interface == introspectableInterface)
        return false;
    const bool managerCall = (interface.isEmpty() || interface == objectManagerInterface) &&
                             member == QStringLiteral("GetManagedObjects");
    if (managerCall && path == applicationPath) {
        reply(message, {QVariant::fromValue(gattObjects())});
        return true;
    }
    if (managerCall && path == advertisementPath) {
        reply(message, {QVariant::fromValue(advertisementObjects())});
        return true;
    }
    const auto object = objectAt(path);
    if (!object) {
        refuse(message, unknownObjectError, QStringLiteral("No such object"));
        return true;
    }
    if (interface == propertiesInterface) {
        answerProperties(message, *object);
        return true;
    }
    if (const int index = characteristicIndex(path); index >= 0) {
        answerCharacteristic(message, index);
        return true;
    }
    if (path == advertisementPath && member == QStringLiteral("Release") &&
        (interface.isEmpty() || interface == advertisementInterface)) {
        reply(message);
        handler_.advertisementReleased();
        return true;
    }
    refuse(message, unknownMethodError, QStringLiteral("No such method"));
    return true;
}

void GattApplication::answerProperties(const QDBusMessage& message, const InterfaceMap& object) {
    const QString member = message.member();
    const QVariantList arguments = message.arguments();
    if (member == QStringLiteral("GetAll") && message.signature() == QStringLiteral("s")) {
        reply(message, {object.value(arguments.at(0).toString())});
    } else if (member == QStringLiteral("Get") && message.signature() == QStringLiteral("ss")) {
        const QVariantMap properties = object.value(arguments.at(0).toString());
        const QString name = arguments.at(1).toString();
        if (!properties.contains(name)) {
            refuse(message, QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                   QStringLiteral("No such property"));
            return;
        }
        reply(message, {QVariant::fromValue(QDBusVariant(properties.value(name)))});
    } else if (member == QStringLiteral("Set")) {
        refuse(message, QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
               QStringLiteral("Read-only"));
    } else {
        refuse(message, unknownMethodError, QStringLiteral("No such method"));
    }
}

void GattApplication::answerCharacteristic(const QDBusMessage& message, int index) {
    const auto& target = service_->characteristics[static_cast<std::size_t>(index)];
    const QString interface = message.interface();
    const QString member = message.member();
    if (!interface.isEmpty() && interface != gattCharacteristicInterface) {
        refuse(message, unknownMethodError, QStringLiteral("No such method"));
        return;
    }
    using namespace characteristic_property;
    const QVariantList arguments = message.arguments();
    if (member == QStringLiteral("ReadValue")) {
        const auto options = message.signature() == QStringLiteral("a{sv}")
                                 ? parseOptions(arguments.at(0))
                                 : std::nullopt;
        if (!options || !(target.properties & read)) {
            refuse(message, notPermittedError, QStringLiteral("Read not permitted"));
            return;
        }
        handler_.readValue(message, target, options->device, options->offset);
    } else if (member == QStringLiteral("WriteValue")) {
        const auto options = message.signature() == QStringLiteral("aya{sv}")
                                 ? parseOptions(arguments.at(1))
                                 : std::nullopt;
        if (!options || !(target.properties & (write | writeWithoutResponse))) {
            refuse(message, notPermittedError, QStringLiteral("Write not permitted"));
            return;
        }
        handler_.writeValue(message, target, options->device, options->offset,
                            arguments.at(0).toByteArray());
    } else if (member == QStringLiteral("StartNotify") || member == QStringLiteral("StopNotify")) {
        // They name no device, so they tell nothing about who listens.
        reply(message);
    } else {
        refuse(message, QStringLiteral("org.bluez.Error.NotSupported"),
               QStringLiteral("Not supported"));
    }
}

void GattApplication::reply(const QDBusMessage& message, const QVariantList& arguments) {
    if (message.isReplyRequired())
        bus_.send(message.createReply(arguments));
}

void GattApplication::refuse(const QDBusMessage& message, const QString& error,
                             const QString& text) {
    if (message.isReplyRequired())
        bus_.send(message.createErrorReply(error, text));
}

QString GattApplication::introspect(const QString& path) const {
    if (path == applicationPath)
        return QStringLiteral("<interface name=\"org.freedesktop.DBus.ObjectManager\">"
                              "<method name=\"GetManagedObjects\">"
                              "<arg type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method>"
                              "</interface>");
    const auto object = objectAt(path);
    if (!object)
        return {};
    QString xml;
    for (const QString& interface : object->keys())
        xml += QStringLiteral("<interface name=\"%1\"/>").arg(interface);
    return xml;
}

} // namespace tovali::bluez
