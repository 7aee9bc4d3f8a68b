#include "platform/secret_service/secret_service_probe.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QList>
#include <QMap>

namespace tovali {

SecretServiceItem probeSecretService(const std::map<std::string, std::string>& attributes,
                                     int timeoutMs, QDBusConnection bus) {
    if (!bus.isConnected())
        return SecretServiceItem::noService;
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QMap<QString, QString> wanted;
    for (const auto& [key, value] : attributes)
        wanted.insert(QString::fromStdString(key), QString::fromStdString(value));
    // SearchItems never prompts: it only sorts the matches into unlocked and locked ones.
    auto call =
        QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                       "org.freedesktop.Secret.Service", "SearchItems");
    call << QVariant::fromValue(wanted);
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString error = reply.errorName();
        // The same errors by which the keychain adapter turns to the file store.
        if (error.startsWith("org.freedesktop.DBus.Error.Spawn") ||
            error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
            error == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
            error == "org.freedesktop.DBus.Error.NoReply" ||
            error == "org.freedesktop.DBus.Error.Timeout" ||
            error == "org.freedesktop.DBus.Error.AccessDenied" ||
            error == "org.freedesktop.DBus.Error.UnknownMethod")
            return SecretServiceItem::noService;
        return SecretServiceItem::unknown;
    }
    if (reply.signature() != QStringLiteral("aoao"))
        return SecretServiceItem::unknown;
    const auto unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
    const auto locked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
    if (!unlocked.isEmpty())
        return SecretServiceItem::present;
    return locked.isEmpty() ? SecretServiceItem::absent : SecretServiceItem::locked;
}

} // namespace tovali
