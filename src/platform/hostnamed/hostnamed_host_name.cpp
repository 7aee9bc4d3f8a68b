#include "platform/hostnamed/hostnamed_host_name.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <climits>
#include <unistd.h>

namespace tovali {

namespace {

const QString service = QStringLiteral("org.freedesktop.hostname1");
const QString path = QStringLiteral("/org/freedesktop/hostname1");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString prettyHostname = QStringLiteral("PrettyHostname");

std::optional<std::string> kernelHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return std::nullopt;
    return std::string(name);
}

} // namespace

HostnamedHostName::HostnamedHostName(QDBusConnection bus) : bus_(std::move(bus)) {
    if (!bus_.isConnected()) {
        known_ = true;
        return;
    }
    // Naming the service here would make QtDBus look up its owner with a blocking call; any
    // sender will do, since a signal only prompts a fresh read from the name's owner.
    bus_.connect(QString(), path, propertiesInterface, QStringLiteral("PropertiesChanged"),
                 QStringList{service}, QString(), this,
                 SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    requestPrettyName();
}

HostnamedHostName::~HostnamedHostName() = default;

std::optional<std::string> HostnamedHostName::localizedName() {
    if (!prettyName_.isEmpty())
        return prettyName_.toStdString();
    return kernelHostName();
}

void HostnamedHostName::onPropertiesChanged(const QString&, const QVariantMap& changed,
                                            const QStringList& invalidated) {
    if (changed.contains(prettyHostname) || invalidated.contains(prettyHostname))
        requestPrettyName();
}

void HostnamedHostName::requestPrettyName() {
    auto call =
        QDBusMessage::createMethodCall(service, path, propertiesInterface, QStringLiteral("Get"));
    call << service << prettyHostname;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        const std::optional<std::string> before = known_ ? localizedName() : std::nullopt;
        // Without hostnamed the kernel's name is all there is to know.
        known_ = true;
        // A read that fails says nothing about the name, so the last one known stays.
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
            const QVariant value = reply.arguments().at(0).value<QDBusVariant>().variant();
            if (value.metaType() == QMetaType::fromType<QString>())
                prettyName_ = value.toString();
        }
        if (!before || localizedName() != before)
            notify();
    });
}

Subscription HostnamedHostName::whenChanged(std::function<void()> changed) {
    const int id = nextObserver_++;
    observers_[id] = std::move(changed);
    return Subscription([this, id] { observers_.erase(id); });
}

void HostnamedHostName::notify() {
    // A copy: an observer may end its own subscription.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers)
        observer();
}

} // namespace tovali
