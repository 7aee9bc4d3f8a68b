#include "support/bluez_stand_in.hpp"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>
#include <QVariant>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace tovali::test {
namespace {

using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

const QString bluezName = QStringLiteral("org.bluez");
const QString bluezRoot = QStringLiteral("/org/bluez");
const QString adapterPath = QStringLiteral("/org/bluez/hci0");
const QString adapterAddress = QStringLiteral("00:1A:7D:DA:71:13");
const QString adapterName = QStringLiteral("tovali-stand-in");

const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString introspectableInterface = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
const QString gattManagerInterface = QStringLiteral("org.bluez.GattManager1");
const QString advertisingManagerInterface = QStringLiteral("org.bluez.LEAdvertisingManager1");
const QString deviceInterface = QStringLiteral("org.bluez.Device1");
const QString serviceInterface = QStringLiteral("org.bluez.GattService1");
const QString characteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
const QString descriptorInterface = QStringLiteral("org.bluez.GattDescriptor1");
const QString advertisementInterface = QStringLiteral("org.bluez.LEAdvertisement1");

const QString failed = QStringLiteral("org.bluez.Error.Failed");
const QString invalidArguments = QStringLiteral("org.bluez.Error.InvalidArguments");
const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString unknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
const QString parseFailure = QStringLiteral("Failed to parse advertisement.");

constexpr int attributeTimeoutMs = 5000;
constexpr int maxAdvertisements = 5;
constexpr qsizetype maxValue = 512;
// 5.66 counts the PDU header against the value (fixed in 5.69).
constexpr qsizetype maxSingleWrite = 510;
constexpr qsizetype maxLongWrite = 508;
constexpr int advertisingDataRoom = 31;

namespace att {
constexpr std::uint8_t invalidHandle = 0x01;
constexpr std::uint8_t readNotPermitted = 0x02;
constexpr std::uint8_t writeNotPermitted = 0x03;
constexpr std::uint8_t requestNotSupported = 0x06;
constexpr std::uint8_t invalidOffset = 0x07;
constexpr std::uint8_t insufficientAuthorization = 0x08;
constexpr std::uint8_t invalidValueLength = 0x0D;
constexpr std::uint8_t unlikely = 0x0E;
constexpr std::uint8_t procedureInProgress = 0xFE;
} // namespace att

const QStringList characteristicFlags =
    QStringLiteral("broadcast read write write-without-response notify indicate "
                   "authenticated-signed-writes extended-properties reliable-write "
                   "writable-auxiliaries encrypt-read encrypt-write encrypt-notify "
                   "encrypt-indicate encrypt-authenticated-read "
                   "encrypt-authenticated-write encrypt-authenticated-notify "
                   "encrypt-authenticated-indicate secure-read secure-write secure-notify "
                   "secure-indicate authorize")
        .split(' ');
const QStringList supportedIncludes = {"tx-power", "appearance", "local-name"};

/// What a characteristic's flags grant, as parse_chrc_flags() sets it; the encrypted and
/// authenticated variants are left out, as nothing here asks for them.
struct Access {
    bool read = false;
    bool write = false;
    bool notify = false;
};

Access accessOf(const QStringList& flags) {
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
std::uint8_t refusal(const QStringList& flags, bool writing) {
    const Access a = accessOf(flags);
    if (!a.read && !a.write)
        return 0;
    if (writing ? !a.write : !a.read)
        return writing ? att::writeNotPermitted : att::readNotPermitted;
    return 0;
}

// dbus_error_to_att_ecode().
std::uint8_t attErrorFor(const QDBusMessage& reply, bool writing) {
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

const QString baseUuidTail = QStringLiteral("-0000-1000-8000-00805f9b34fb");

// The forms bt_string_to_uuid() takes, in the 128-bit lower-case form; empty for anything else.
QString fullUuid(const QString& text) {
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

// Bytes the UUID takes in advertising data: the base UUID's are sent short.
int advertisedSize(const QString& full) {
    if (!full.endsWith(baseUuidTail))
        return 16;
    return full.startsWith("0000") ? 2 : 4;
}

// One AD structure per UUID width in use.
int uuidListsLength(const QStringList& fulls) {
    int length = 0;
    for (int width : {2, 4, 16}) {
        const auto count = std::count_if(fulls.begin(), fulls.end(), [width](const QString& full) {
            return advertisedSize(full) == width;
        });
        if (count > 0)
            length += 2 + static_cast<int>(count) * width;
    }
    return length;
}

template <typename T>
bool holds(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<T>();
}

std::optional<std::map<QString, InterfaceMap>> managedObjects(const QDBusMessage& reply) {
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

/// What parsing an application's objects came to.
struct Parsed {
    std::optional<BluezStandIn::Application> application;
    QString error;
};

// client_ready_cb(): first the objects one by one, then the database entries.
Parsed parseApplication(const QString& owner, const QString& root, const QDBusMessage& reply) {
    const auto objects = managedObjects(reply);
    // bluetoothd's client takes every object whose path starts with the root.
    std::map<QString, InterfaceMap> mine;
    if (objects) {
        for (const auto& [path, interfaces] : *objects) {
            if (path.startsWith(root) && !interfaces.isEmpty())
                mine[path] = interfaces;
        }
    }
    if (mine.empty())
        return {std::nullopt, "No object received"};

    BluezStandIn::Application app;
    app.owner = owner;
    app.path = root;
    std::map<QString, QVariantMap> services;
    std::vector<std::pair<QString, QVariantMap>> descriptors;
    std::vector<std::pair<QString, QVariantMap>> characteristics;
    bool invalid = false;
    for (const auto& [path, interfaces] : mine) {
        for (const QString& name : {serviceInterface, characteristicInterface, descriptorInterface})
            app.handles += interfaces.value(name).contains("Handle") ? 1 : 0;
        if (interfaces.contains(serviceInterface))
            services[path] = interfaces.value(serviceInterface);
        if (interfaces.contains(characteristicInterface))
            characteristics.emplace_back(path, interfaces.value(characteristicInterface));
        if (interfaces.contains(descriptorInterface))
            descriptors.emplace_back(path, interfaces.value(descriptorInterface));
    }
    for (const auto& [path, properties] : characteristics) {
        const QVariant service = properties.value("Service");
        const QVariant flags = properties.value("Flags");
        if (!holds<QDBusObjectPath>(service) ||
            services.count(service.value<QDBusObjectPath>().path()) == 0 ||
            !holds<QStringList>(flags) || flags.toStringList().isEmpty()) {
            invalid = true;
            continue;
        }
        for (const QString& flag : flags.toStringList())
            invalid = invalid || !characteristicFlags.contains(flag);
        app.characteristics.push_back({path, properties.value("UUID").toString(),
                                       flags.toStringList(),
                                       service.value<QDBusObjectPath>().path()});
    }
    for (const auto& [path, properties] : descriptors) {
        invalid = invalid || !holds<QDBusObjectPath>(properties.value("Characteristic")) ||
                  properties.value("Flags").toStringList().isEmpty();
    }
    app.descriptors = static_cast<int>(descriptors.size());
    if (invalid || services.empty())
        return {std::nullopt, "No valid service object found"};

    const QString databaseFailure = QStringLiteral("Failed to create entry in database");
    const QStringList reserved = {fullUuid("1800"), fullUuid("1801")};
    for (const auto& [path, properties] : services) {
        const QVariant uuid = properties.value("UUID");
        const QString full = holds<QString>(uuid) ? fullUuid(uuid.toString()) : QString();
        if (full.isEmpty() || reserved.contains(full) || !holds<bool>(properties.value("Primary")))
            return {std::nullopt, databaseFailure};
    }
    for (const auto& [path, properties] : characteristics) {
        if (!holds<QString>(properties.value("UUID")) ||
            fullUuid(properties.value("UUID").toString()).isEmpty())
            return {std::nullopt, databaseFailure};
    }
    for (const auto& [path, properties] : descriptors) {
        const QString owning = properties.value("Characteristic").value<QDBusObjectPath>().path();
        const bool known = std::any_of(
            app.characteristics.begin(), app.characteristics.end(),
            [&owning](const BluezStandIn::Characteristic& c) { return c.path == owning; });
        if (!known || !holds<QString>(properties.value("UUID")) ||
            fullUuid(properties.value("UUID").toString()).isEmpty())
            return {std::nullopt, databaseFailure};
    }
    if (!services.empty()) {
        const QVariantMap& first = services.begin()->second;
        app.serviceUuid = first.value("UUID").toString();
        app.primary = first.value("Primary").toBool();
    }
    return {app, {}};
}

// The parsers[] of advertising.c for what an application like ours sends, and the legacy
// path's length check.
std::optional<BluezStandIn::Advertisement>
parseAdvertisement(const QString& owner, const QString& path, const QVariantMap& properties) {
    BluezStandIn::Advertisement ad;
    ad.owner = owner;
    ad.path = path;
    auto wrongType = [&properties](const char* key, auto sample) {
        return properties.contains(key) && !holds<decltype(sample)>(properties.value(key));
    };
    if (wrongType("Type", QString()) || wrongType("ServiceUUIDs", QStringList()) ||
        wrongType("LocalName", QString()) || wrongType("Includes", QStringList()) ||
        wrongType("Discoverable", bool()))
        return std::nullopt;

    ad.type = properties.value("Type").toString();
    if (properties.contains("Type") && ad.type != "broadcast" && ad.type != "peripheral")
        return std::nullopt;
    ad.serviceUuids = properties.value("ServiceUUIDs").toStringList();
    ad.localName = properties.value("LocalName").toString();
    for (const QString& include : properties.value("Includes").toStringList()) {
        if (supportedIncludes.contains(include) && !ad.includes.contains(include))
            ad.includes.append(include);
    }
    if (ad.includes.contains("local-name") && !ad.localName.isEmpty())
        return std::nullopt;
    const bool discoverable = properties.value("Discoverable").toBool();
    if (discoverable && ad.type != "peripheral")
        return std::nullopt; // flags on a broadcast

    QStringList services;
    for (const QString& uuid : ad.serviceUuids)
        services.append(fullUuid(uuid));
    if (services.contains(QString()))
        return std::nullopt;
    // The adapter itself is never discoverable here, so only the property adds the Flags AD.
    const int length = uuidListsLength(services) + (discoverable ? 3 : 0);
    const int room = advertisingDataRoom - (ad.includes.contains("tx-power") ? 3 : 0);
    if (length > room)
        return std::nullopt;
    return ad;
}

QString devicePath(const QString& address) {
    return adapterPath + "/dev_" + address.toUpper().replace(':', '_');
}

} // namespace

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // so that a quiet loop still notices the deadline
    wake.start(std::chrono::milliseconds(5));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

/// Every object of the stand-in's, from "/" down: QtDBus hands over the raw calls.
class BluezStandIn::Objects : public QDBusVirtualObject {
public:
    explicit Objects(BluezStandIn& bluez) : bluez_(bluez) {}

    QString introspect(const QString& path) const override {
        QString xml;
        if (const auto interfaces = bluez_.interfacesOf(path)) {
            for (auto it = interfaces->begin(); it != interfaces->end(); ++it)
                xml += QStringLiteral("<interface name=\"%1\"/>").arg(it.key());
        }
        return xml;
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        return bluez_.handleCall(message);
    }

private:
    BluezStandIn& bluez_;
};

BluezStandIn::BluezStandIn(QString address)
    : address_(std::move(address)), objects_(std::make_unique<Objects>(*this)) {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();
    start();
}

BluezStandIn::~BluezStandIn() {
    stop();
}

QString BluezStandIn::uniqueName() const {
    return connection_ ? connection_->baseService() : QString();
}

QDBusConnection BluezStandIn::connection() const {
    return connection_ ? *connection_ : QDBusConnection(QString());
}

void BluezStandIn::start() {
    if (running_)
        return;
    static int instances = 0;
    connectionName_ = QStringLiteral("tovali-bluez-stand-in-%1").arg(++instances);
    connection_ =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, connectionName_));
    if (!connection_->isConnected() ||
        !connection_->registerVirtualObject("/", objects_.get(), QDBusConnection::SubPath)) {
        qWarning("bluetoothd stand-in: cannot serve on %s", qPrintable(address_));
        connection_.reset();
        QDBusConnection::disconnectFromBus(connectionName_);
        return;
    }
    // bluetoothd watches only the characteristics it knows; the slot sorts out the rest.
    connection_->connect(QString(), QString(), propertiesInterface, "PropertiesChanged",
                         {characteristicInterface}, QString(), this,
                         SLOT(onPropertiesChanged(QDBusMessage)));
    connection_->connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameOwnerChanged", this,
                         SLOT(onNameOwnerChanged(QString, QString, QString)));
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    // The bus may not yet have seen our previous connection close.
    running_ = waitUntil([this] { return connection_->registerService(bluezName); }, 2000);
    if (!running_)
        qWarning("bluetoothd stand-in: cannot own org.bluez");
}

void BluezStandIn::stop() {
    if (!connection_)
        return;
    // Pending calls hold on to the connection, and their answers belong to the old daemon.
    for (auto* watcher : findChildren<QDBusPendingCallWatcher*>(Qt::FindDirectChildrenOnly))
        delete watcher;
    pendingApplications_.clear();
    pendingAdvertisements_.clear();
    applications_.clear();
    advertisements_.clear();
    notifyCounts_.clear();
    devices_.clear();
    mirrorRegistrations();
    connection_->unregisterObject("/", QDBusConnection::UnregisterTree);
    connection_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
    running_ = false;
}

void BluezStandIn::refuseRegistrations(const QString& errorName, const QString& message) {
    refusalName_ = errorName;
    refusalMessage_ = message;
}

bool BluezStandIn::waitForRegistrations(int timeoutMs) {
    return waitUntil([this] { return application_ && advertisement_; }, timeoutMs);
}

// Calls.

void BluezStandIn::post(const QDBusMessage& message) {
    if (connection_)
        connection_->send(message);
}

void BluezStandIn::answerError(const QDBusMessage& call, const QString& name, const QString& text) {
    post(call.createErrorReply(name, text));
}

bool BluezStandIn::handleCall(const QDBusMessage& message) {
    if (!running_ || message.type() != QDBusMessage::MethodCallMessage)
        return false;
    if (accessDenied_) {
        answerError(message, "org.freedesktop.DBus.Error.AccessDenied",
                    "Rejected send message: org.bluez is not for this caller");
        return true;
    }
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    if (interface == introspectableInterface && member == "Introspect")
        return false; // QtDBus answers from introspect()

    const QString missing =
        QStringLiteral("Method \"%1\" with signature \"%2\" on interface \"%3\" doesn't exist")
            .arg(member, message.signature(), interface);
    const auto interfaces =
        path == "/" ? std::optional<InterfaceMap>(InterfaceMap{{objectManagerInterface, {}}})
                    : interfacesOf(path);
    if (!interfaces) {
        answerError(message, "org.freedesktop.DBus.Error.UnknownObject", missing);
        return true;
    }
    if (!interfaces->contains(interface)) {
        answerError(message, unknownMethod, missing);
        return true;
    }

    if (interface == objectManagerInterface && member == "GetManagedObjects" &&
        message.signature().isEmpty()) {
        ManagedObjects objects;
        for (const QString& each : paths())
            objects.insert(QDBusObjectPath(each), *interfacesOf(each));
        post(message.createReply(QVariant::fromValue(objects)));
    } else if (interface == propertiesInterface) {
        answerProperties(message);
    } else if (interface == gattManagerInterface && member == "RegisterApplication") {
        registerApplication(message);
    } else if (interface == gattManagerInterface && member == "UnregisterApplication") {
        unregisterApplication(message);
    } else if (interface == advertisingManagerInterface && member == "RegisterAdvertisement") {
        registerAdvertisement(message);
    } else if (interface == advertisingManagerInterface && member == "UnregisterAdvertisement") {
        unregisterAdvertisement(message);
    } else {
        answerError(message, unknownMethod, missing);
    }
    return true;
}

void BluezStandIn::answerProperties(const QDBusMessage& message) {
    const InterfaceMap interfaces = *interfacesOf(message.path());
    const QList<QVariant> args = message.arguments();
    const QString member = message.member();
    const QString signature = message.signature();
    if ((member == "Get" && signature != "ss") || (member == "GetAll" && signature != "s") ||
        (member == "Set" && signature != "ssv"))
        return answerError(message, invalidArgs, "Invalid arguments in method call");
    if (member != "Get" && member != "GetAll" && member != "Set")
        return answerError(message, unknownMethod, QStringLiteral("No method %1").arg(member));

    const QString interface = args.at(0).toString();
    if (!interfaces.contains(interface))
        return answerError(message, invalidArgs,
                           QStringLiteral("No such interface '%1'").arg(interface));
    const QVariantMap properties = interfaces.value(interface);
    if (member == "GetAll")
        return post(message.createReply(properties));

    const QString name = args.at(1).toString();
    if (!properties.contains(name))
        return answerError(message, invalidArgs, QStringLiteral("No such property '%1'").arg(name));
    if (member == "Get")
        return post(message.createReply(QVariant::fromValue(QDBusVariant(properties[name]))));

    const QVariant value = args.at(2).value<QDBusVariant>().variant();
    if (interface != adapterInterface || name != "Powered")
        return answerError(message, "org.freedesktop.DBus.Error.PropertyReadOnly",
                           QStringLiteral("Property '%1' is not writable").arg(name));
    if (value.metaType() != properties[name].metaType())
        return answerError(message, invalidArgs, "Invalid arguments in method call");
    post(message.createReply());
    setPowered(value.toBool());
}

// GATT applications.

void BluezStandIn::registerApplication(const QDBusMessage& call) {
    if (call.signature() != "oa{sv}")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    const QString owner = call.service();
    const QString root = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == root; };
    if (std::any_of(applications_.begin(), applications_.end(), same) ||
        std::any_of(pendingApplications_.begin(), pendingApplications_.end(), same))
        return answerError(call, "org.bluez.Error.AlreadyExists", "Already Exists");

    const std::uint64_t id = nextId_++;
    pendingApplications_.push_back({id, owner, root, call});
    callAsync(
        QDBusMessage::createMethodCall(owner, root, objectManagerInterface, "GetManagedObjects"),
        [this, id](const QDBusMessage& reply) { finishApplication(id, reply); });
}

void BluezStandIn::finishApplication(std::uint64_t id, const QDBusMessage& reply) {
    const auto it = std::find_if(pendingApplications_.begin(), pendingApplications_.end(),
                                 [id](const Pending& each) { return each.id == id; });
    if (it == pendingApplications_.end())
        return; // unregistered, or its owner left, meanwhile
    const Pending pending = *it;
    pendingApplications_.erase(it);
    Parsed parsed = parseApplication(pending.owner, pending.path, reply);
    if (!parsed.application)
        return answerError(pending.call, failed, parsed.error);
    applications_.push_back(std::move(*parsed.application));
    ++applicationRegistrations_;
    mirrorRegistrations();
    post(pending.call.createReply());
}

void BluezStandIn::unregisterApplication(const QDBusMessage& call) {
    if (call.signature() != "o")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    const QString owner = call.service();
    const QString root = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == root; };
    const auto registered = std::find_if(applications_.begin(), applications_.end(), same);
    const auto pending =
        std::find_if(pendingApplications_.begin(), pendingApplications_.end(), same);
    if (registered != applications_.end()) {
        std::vector<Characteristic> gone = registered->characteristics;
        applications_.erase(registered);
        dropSubscriptions([&](const Key& key) {
            return key.first == owner && std::any_of(gone.begin(), gone.end(),
                                                     [&](auto& c) { return c.path == key.second; });
        });
        mirrorRegistrations();
    } else if (pending != pendingApplications_.end()) {
        pendingApplications_.erase(pending);
    } else {
        return answerError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    }
    post(call.createReply());
}

// Advertisements.

void BluezStandIn::registerAdvertisement(const QDBusMessage& call) {
    if (call.signature() != "oa{sv}")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    const QString owner = call.service();
    const QString path = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == path; };
    if (std::any_of(advertisements_.begin(), advertisements_.end(), same) ||
        std::any_of(pendingAdvertisements_.begin(), pendingAdvertisements_.end(), same))
        return answerError(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    if (advertisements_.size() + pendingAdvertisements_.size() >= maxAdvertisements)
        return answerError(call, "org.bluez.Error.NotPermitted", "Maximum advertisements reached");

    const std::uint64_t id = nextId_++;
    pendingAdvertisements_.push_back({id, owner, path, call});
    // An advertisement needs no ObjectManager: only GetAll's answer counts.
    callAsync(
        QDBusMessage::createMethodCall(owner, path, objectManagerInterface, "GetManagedObjects"),
        [this, id, owner, path](const QDBusMessage&) {
            QDBusMessage getAll =
                QDBusMessage::createMethodCall(owner, path, propertiesInterface, "GetAll");
            getAll << advertisementInterface;
            callAsync(getAll,
                      [this, id](const QDBusMessage& reply) { finishAdvertisement(id, reply); });
        });
}

void BluezStandIn::finishAdvertisement(std::uint64_t id, const QDBusMessage& reply) {
    const auto it = std::find_if(pendingAdvertisements_.begin(), pendingAdvertisements_.end(),
                                 [id](const Pending& each) { return each.id == id; });
    if (it == pendingAdvertisements_.end())
        return;
    const Pending pending = *it;
    pendingAdvertisements_.erase(it);
    std::optional<Advertisement> ad;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == "a{sv}")
        ad = parseAdvertisement(pending.owner, pending.path,
                                qdbus_cast<QVariantMap>(reply.arguments().at(0)));
    if (!ad)
        return answerError(pending.call, failed, parseFailure);
    advertisements_.push_back(std::move(*ad));
    ++advertisementRegistrations_;
    mirrorRegistrations();
    post(pending.call.createReply());
    emitAdvertisingCounts();
}

void BluezStandIn::unregisterAdvertisement(const QDBusMessage& call) {
    if (call.signature() != "o")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    const QString owner = call.service();
    const QString path = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == path; };
    const auto registered = std::find_if(advertisements_.begin(), advertisements_.end(), same);
    const auto pending =
        std::find_if(pendingAdvertisements_.begin(), pendingAdvertisements_.end(), same);
    if (registered != advertisements_.end()) {
        advertisements_.erase(registered);
        mirrorRegistrations();
        post(call.createReply());
        emitAdvertisingCounts();
    } else if (pending != pendingAdvertisements_.end()) {
        answerError(pending->call, failed, "Failed to complete registration");
        pendingAdvertisements_.erase(pending);
        post(call.createReply());
    } else {
        answerError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    }
}

void BluezStandIn::onNameOwnerChanged(const QString& name, const QString&,
                                      const QString& newOwner) {
    if (name.startsWith(':') && newOwner.isEmpty())
        forgetOwner(name);
}

// bluetoothd drops what a client registered, silently, once it leaves the bus.
void BluezStandIn::forgetOwner(const QString& owner) {
    auto ownedBy = [&owner](const auto& each) { return each.owner == owner; };
    std::erase_if(pendingApplications_, ownedBy);
    std::erase_if(pendingAdvertisements_, ownedBy);
    std::erase_if(applications_, ownedBy);
    const std::size_t ads = advertisements_.size();
    std::erase_if(advertisements_, ownedBy);
    dropSubscriptions([&owner](const Key& key) { return key.first == owner; });
    mirrorRegistrations();
    if (advertisements_.size() != ads)
        emitAdvertisingCounts();
}

void BluezStandIn::mirrorRegistrations() {
    application_ =
        applications_.empty() ? std::nullopt : std::optional<Application>(applications_.back());
    advertisement_ = advertisements_.empty() ? std::nullopt
                                             : std::optional<Advertisement>(advertisements_.back());
}

void BluezStandIn::emitAdvertisingCounts() {
    if (adapterPresent_ && lePeripheralNow_)
        emitPropertiesChanged(adapterPath, advertisingManagerInterface, advertisingProperties());
}

// The adapter.

void BluezStandIn::setPowered(bool on) {
    if (on == powered_)
        return;
    if (!on) {
        for (auto& [path, device] : devices_)
            disconnectDevice(path);
        for (Advertisement& ad : advertisements_)
            ad.lost = true;
        mirrorRegistrations();
    }
    powered_ = on;
    if (adapterPresent_)
        emitPropertiesChanged(adapterPath, adapterInterface, {{"Powered", powered_}});
}

bool BluezStandIn::onAir() const {
    return powered_ && adapterPresent_ &&
           std::any_of(advertisements_.begin(), advertisements_.end(),
                       [](const Advertisement& ad) { return !ad.lost; });
}

void BluezStandIn::removeAdapter() {
    if (!running_ || !adapterPresent_)
        return;
    for (const Advertisement& ad : advertisements_)
        post(QDBusMessage::createMethodCall(ad.owner, ad.path, advertisementInterface, "Release"));
    for (const Pending& pending : pendingAdvertisements_) {
        post(QDBusMessage::createMethodCall(pending.owner, pending.path, advertisementInterface,
                                            "Release"));
        answerError(pending.call, failed, "Failed to complete registration");
    }
    // A GATT application has no Release: its registration just ends, and so does a pending one.
    pendingApplications_.clear();
    pendingAdvertisements_.clear();
    applications_.clear();
    advertisements_.clear();
    notifyCounts_.clear();
    mirrorRegistrations();
    for (const auto& [path, device] : devices_)
        emitInterfacesRemoved(path, interfacesOf(path)->keys());
    devices_.clear();
    const QStringList interfaces = interfacesOf(adapterPath)->keys();
    adapterPresent_ = false;
    emitInterfacesRemoved(adapterPath, interfaces);
}

void BluezStandIn::restoreAdapter() {
    if (!running_ || adapterPresent_)
        return;
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    InterfaceMap interfaces = *interfacesOf(adapterPath);
    // The advertising manager waits for the kernel's advertising features.
    interfaces.remove(advertisingManagerInterface);
    emitInterfacesAdded(adapterPath, interfaces);
    if (lePeripheralNow_)
        emitInterfacesAdded(adapterPath, {{advertisingManagerInterface, advertisingProperties()}});
}

QStringList BluezStandIn::paths() const {
    QStringList all{bluezRoot};
    if (adapterPresent_) {
        all.append(adapterPath);
        for (const auto& [path, device] : devices_)
            all.append(path);
    }
    return all;
}

std::optional<InterfaceMap> BluezStandIn::interfacesOf(const QString& path) const {
    if (path == bluezRoot)
        return InterfaceMap{{introspectableInterface, {}},
                            {"org.bluez.AgentManager1", {}},
                            {"org.bluez.ProfileManager1", {}}};
    if (!adapterPresent_)
        return std::nullopt;
    if (path == adapterPath) {
        InterfaceMap interfaces{{introspectableInterface, {}},
                                {propertiesInterface, {}},
                                {adapterInterface, adapterProperties()}};
        if (lePeripheralNow_) {
            interfaces.insert(gattManagerInterface, {});
            interfaces.insert(advertisingManagerInterface, advertisingProperties());
        }
        return interfaces;
    }
    const auto device = devices_.find(path);
    if (device == devices_.end())
        return std::nullopt;
    return InterfaceMap{{introspectableInterface, {}},
                        {propertiesInterface, {}},
                        {deviceInterface,
                         {{"Address", device->second.address},
                          {"AddressType", "random"},
                          {"Connected", device->second.connected},
                          {"Paired", false},
                          {"Trusted", false},
                          {"Blocked", false},
                          {"Adapter", QVariant::fromValue(QDBusObjectPath(adapterPath))},
                          {"ServicesResolved", false}}}};
}

QVariantMap BluezStandIn::adapterProperties() const {
    QStringList roles{"central"};
    if (lePeripheralNow_)
        roles.append("peripheral");
    return {{"Address", adapterAddress},
            {"AddressType", "public"},
            {"Name", adapterName},
            {"Alias", adapterName},
            {"Class", QVariant::fromValue(quint32(0))},
            {"Powered", powered_},
            {"Discoverable", false},
            {"Pairable", false},
            {"Discovering", false},
            {"UUIDs", QStringList()},
            {"Roles", roles}};
}

QVariantMap BluezStandIn::advertisingProperties() const {
    const auto active = advertisements_.size() + pendingAdvertisements_.size();
    return {
        {"ActiveInstances", QVariant::fromValue(static_cast<uchar>(active))},
        {"SupportedInstances", QVariant::fromValue(static_cast<uchar>(maxAdvertisements - active))},
        {"SupportedIncludes", supportedIncludes}};
}

void BluezStandIn::emitSignal(const QString& path, const QString& interface, const QString& name,
                              const QList<QVariant>& arguments) {
    if (!connection_)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    connection_->send(signal);
}

void BluezStandIn::emitPropertiesChanged(const QString& path, const QString& interface,
                                         const QVariantMap& changed) {
    emitSignal(path, propertiesInterface, "PropertiesChanged", {interface, changed, QStringList()});
}

void BluezStandIn::emitInterfacesAdded(const QString& path, const InterfaceMap& interfaces) {
    emitSignal("/", objectManagerInterface, "InterfacesAdded",
               {QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(interfaces)});
}

void BluezStandIn::emitInterfacesRemoved(const QString& path, const QStringList& interfaces) {
    emitSignal("/", objectManagerInterface, "InterfacesRemoved",
               {QVariant::fromValue(QDBusObjectPath(path)), interfaces});
}

// Centrals.

QString BluezStandIn::connectDevice(const QString& address) {
    const QString path = devicePath(address);
    if (!running_ || !adapterPresent_ || !powered_) {
        qWarning("bluetoothd stand-in: no adapter for %s to connect to", qPrintable(address));
        return path;
    }
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        devices_[path] = Device{address.toUpper(), true, {}};
        emitInterfacesAdded(path, *interfacesOf(path));
    } else if (!it->second.connected) {
        it->second.connected = true;
        emitPropertiesChanged(path, deviceInterface, {{"Connected", true}});
    }
    return path;
}

void BluezStandIn::disconnectDevice(const QString& device) {
    const auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.connected)
        return;
    it->second.connected = false;
    emitPropertiesChanged(device, deviceInterface, {{"Connected", false}});
    // Not bonded: the disconnection counts as writing 0 to each CCC.
    const QSet<Key> ended = std::exchange(it->second.subscriptions, {});
    for (const Key& key : ended)
        endSubscription(key);
}

void BluezStandIn::removeDevice(const QString& device) {
    if (devices_.count(device) == 0)
        return;
    disconnectDevice(device);
    const QStringList interfaces = interfacesOf(device)->keys();
    devices_.erase(device);
    emitInterfacesRemoved(device, interfaces);
}

void BluezStandIn::endSubscription(const Key& key) {
    const auto count = notifyCounts_.find(key);
    if (count == notifyCounts_.end() || --count->second > 0)
        return;
    notifyCounts_.erase(count);
    post(QDBusMessage::createMethodCall(key.first, key.second, characteristicInterface,
                                        "StopNotify"));
}

// The attributes are gone with their application: nothing is said to it.
void BluezStandIn::dropSubscriptions(const std::function<bool(const Key&)>& gone) {
    for (auto& [path, device] : devices_)
        device.subscriptions.removeIf(gone);
    std::erase_if(notifyCounts_, [&gone](const auto& entry) { return gone(entry.first); });
}

std::optional<BluezStandIn::Target> BluezStandIn::target(const QString& device, const QString& uuid,
                                                         AttAnswer& answer) {
    const auto it = devices_.find(device);
    if (!running_ || it == devices_.end() || !it->second.connected) {
        qWarning("bluetoothd stand-in: %s is not connected", qPrintable(device));
        answer.error = att::unlikely;
        return std::nullopt;
    }
    const QString wanted = fullUuid(uuid);
    for (const Application& app : applications_) {
        for (const Characteristic& c : app.characteristics) {
            if (!wanted.isEmpty() && fullUuid(c.uuid) == wanted)
                return Target{app.owner, c};
        }
    }
    answer.error = att::invalidHandle;
    return std::nullopt;
}

QVariantMap BluezStandIn::options(const QString& device, std::uint16_t offset) const {
    QVariantMap dict{{"device", QVariant::fromValue(QDBusObjectPath(device))},
                     {"link", "LE"},
                     {"mtu", QVariant::fromValue(mtu_)}};
    if (offset != 0)
        dict.insert("offset", QVariant::fromValue(offset));
    return dict;
}

AttAnswer BluezStandIn::write(const QString& device, const QString& uuid, const QByteArray& value,
                              std::uint16_t offset) {
    AttAnswer answer;
    const std::optional<Target> found = target(device, uuid, answer);
    if (!found)
        return answer;
    const Characteristic& c = found->characteristic;
    if ((answer.error = refusal(c.flags, true)) != 0)
        return answer;
    // What does not fit one request goes as prepared writes, whose limit is lower.
    const bool prepared = offset != 0 || value.size() > mtu_ - 3;
    if (offset + value.size() > (prepared ? maxLongWrite : maxSingleWrite)) {
        answer.error = att::invalidValueLength;
        return answer;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(found->owner, c.path, characteristicInterface, "WriteValue");
    call.setArguments({value, options(device, offset)});
    if (c.flags.contains("write-without-response")) {
        connection_->send(call);
        return answer;
    }
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, true);
    } else if (!reply->arguments().isEmpty()) {
        answer.error = att::requestNotSupported;
    }
    return answer;
}

AttAnswer BluezStandIn::read(const QString& device, const QString& uuid, std::uint16_t offset) {
    AttAnswer answer;
    const std::optional<Target> found = target(device, uuid, answer);
    if (!found)
        return answer;
    const Characteristic& c = found->characteristic;
    if ((answer.error = refusal(c.flags, false)) != 0)
        return answer;
    QDBusMessage call =
        QDBusMessage::createMethodCall(found->owner, c.path, characteristicInterface, "ReadValue");
    call.setArguments({options(device, offset)});
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, false);
    } else if (reply->signature() != "ay") {
        answer.error = att::requestNotSupported;
    } else {
        answer.value = reply->arguments().at(0).toByteArray().left(maxValue).left(mtu_ - 1);
    }
    return answer;
}

void BluezStandIn::subscribe(const QString& device, const QString& uuid) {
    AttAnswer refused;
    const std::optional<Target> found = target(device, uuid, refused);
    if (!found)
        return;
    const Access access = accessOf(found->characteristic.flags);
    if (!access.notify) {
        qWarning("bluetoothd stand-in: %s refuses notifications on this link", qPrintable(uuid));
        return;
    }
    const Key key{found->owner, found->characteristic.path};
    QSet<Key>& subscriptions = devices_[device].subscriptions;
    if (subscriptions.contains(key))
        return; // the same CCC value again changes nothing
    subscriptions.insert(key);
    ++notifyCounts_[key];
    post(QDBusMessage::createMethodCall(key.first, key.second, characteristicInterface,
                                        "StartNotify"));
}

void BluezStandIn::onPropertiesChanged(const QDBusMessage& message) {
    if (message.signature() != "sa{sv}as")
        return;
    const Key key{message.service(), message.path()};
    const bool watched =
        std::any_of(applications_.begin(), applications_.end(), [&key](const Application& app) {
            return app.owner == key.first &&
                   std::any_of(app.characteristics.begin(), app.characteristics.end(),
                               [&key](const Characteristic& c) {
                                   const Access access = accessOf(c.flags);
                                   return c.path == key.second && access.notify;
                               });
        });
    if (!watched)
        return;
    const QList<QVariant> args = message.arguments();
    const QVariantMap changed = qdbus_cast<QVariantMap>(args.at(1));
    QByteArray value;
    if (changed.contains("Value")) {
        if (!holds<QByteArray>(changed.value("Value")))
            return;
        value = changed.value("Value").toByteArray().left(maxValue);
    } else if (!args.at(2).toStringList().contains("Value")) {
        return;
    }
    for (const auto& [path, device] : devices_) {
        if (device.connected && device.subscriptions.contains(key))
            notifications_[path].append(value.left(mtu_ - 3));
    }
}

QList<QByteArray> BluezStandIn::notifications(const QString& device) const {
    return notifications_.value(device);
}

bool BluezStandIn::waitForNotifications(const QString& device, int count, int timeoutMs) {
    return waitUntil([&] { return notifications_.value(device).size() >= count; }, timeoutMs);
}

QDBusMessage BluezStandIn::callApplication(const QDBusMessage& call) {
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (reply)
        return *reply;
    return call.createErrorReply(QDBusError::NoReply, "No reply within 5 s");
}

void BluezStandIn::callAsync(const QDBusMessage& call,
                             std::function<void(const QDBusMessage&)> then) {
    if (!connection_)
        return;
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [then = std::move(then)](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                then(done->reply());
            });
}

std::optional<QDBusMessage> BluezStandIn::callAndWait(const QDBusMessage& call, int timeoutMs) {
    // Shared: a late answer still lands somewhere once this call has given up.
    auto reply = std::make_shared<std::optional<QDBusMessage>>();
    callAsync(call, [reply](const QDBusMessage& message) { *reply = message; });
    waitUntil([&reply] { return reply->has_value(); }, timeoutMs);
    return *reply;
}

// The watch's radio.

std::uint64_t StandInRadio::write(const Uuid& characteristic, Bytes value) {
    const AttAnswer answer = bluez_.write(
        device_, QString::fromStdString(characteristic.toString()), toQByteArray(value));
    const std::uint64_t token = nextToken_++;
    answers_[token] = static_cast<AttResult>(answer.error);
    return token;
}

std::optional<AttResult> StandInRadio::responseTo(std::uint64_t token) const {
    const auto it = answers_.find(token);
    if (it == answers_.end())
        return std::nullopt;
    return it->second;
}

std::optional<Bytes> StandInRadio::readLong(const Uuid& characteristic) {
    const QString uuid = QString::fromStdString(characteristic.toString());
    const qsizetype piece = bluez_.mtu() - 1;
    Bytes value;
    for (;;) {
        // Nothing longer than an attribute can hold is a value.
        if (value.size() > static_cast<std::size_t>(maxValue))
            return std::nullopt;
        const AttAnswer answer =
            bluez_.read(device_, uuid, static_cast<std::uint16_t>(value.size()));
        if (answer.error != 0)
            return std::nullopt;
        value.insert(value.end(), answer.value.begin(), answer.value.end());
        if (answer.value.size() < piece)
            return value;
    }
}

} // namespace tovali::test
