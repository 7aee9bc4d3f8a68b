#include "platform/bluez/bluez_probe.hpp"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <memory>

#include "platform/bluez/bluez_peripheral_manager.hpp"

namespace tovali {

namespace {

using Findings = BluezFindings;
using bluez::BluezMonitor;

// bluetoothd may announce the advertising manager a moment after its adapter, so a first
// "unsupported" or "off" is given this long to change.
constexpr int settleMs = 300;
constexpr int versionTimeoutMs = 400;

class Probe final : public PeripheralDelegate {
public:
    Probe(const ServiceDefinition& service, const AdvertisementData& advertisement)
        : service_(service), advertisement_(advertisement) {
        settle_.setSingleShot(true);
        settle_.setInterval(settleMs);
        QObject::connect(&settle_, &QTimer::timeout, &loop_, &QEventLoop::quit);
    }

    Findings run(QDBusConnection bus, std::chrono::milliseconds deadline) {
        QTimer::singleShot(deadline, &loop_, &QEventLoop::quit);
        {
            BluezPeripheralManager manager(*this, bus);
            loop_.exec();
            describe(manager.monitor());
        }
        // Calls on one connection leave in order: once this is answered, the withdrawals the
        // manager sent on its way out have reached the bus.
        bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus.Peer", "Ping"),
                 QDBus::Block, 200);
        return findings_;
    }

    void peripheralManagerDidUpdateState(PeripheralManager& manager) override {
        const PeripheralState state = manager.state();
        if (started_ || state == PeripheralState::unknown || state == PeripheralState::resetting)
            return;
        if (state != PeripheralState::poweredOn) {
            settle_.start();
            return;
        }
        settle_.stop();
        started_ = true;
        findings_.service = Findings::Step::noAnswer;
        manager.addService(service_);
    }

    void peripheralManagerDidAddService(PeripheralManager& manager, const Uuid&,
                                        const std::optional<PeripheralError>& error) override {
        if (error) {
            refused(findings_.service, *error);
            return;
        }
        findings_.service = Findings::Step::done;
        findings_.advertisement = Findings::Step::noAnswer;
        manager.startAdvertising(advertisement_);
    }

    void
    peripheralManagerDidStartAdvertising(PeripheralManager&,
                                         const std::optional<PeripheralError>& error) override {
        if (error) {
            refused(findings_.advertisement, *error);
            return;
        }
        findings_.advertisement = Findings::Step::done;
        loop_.quit();
    }

    // A watch that happens to call meanwhile gets no answer: nothing here serves it.
    void peripheralManagerDidReceiveWriteRequests(PeripheralManager&,
                                                  std::span<const AttRequest>) override {}
    void peripheralManagerDidReceiveReadRequest(PeripheralManager&, const AttRequest&) override {}
    void peripheralManagerCentralDidUnsubscribe(PeripheralManager&, const Uuid&,
                                                const Uuid&) override {}
    void peripheralManagerIsReadyToUpdateSubscribers(PeripheralManager&) override {}
    void peripheralManagerCentralDidConnect(PeripheralManager&, const Uuid&) override {}

private:
    void refused(Findings::Step& step, const PeripheralError& error) {
        step = Findings::Step::refused;
        findings_.refusal = error.localizedDescription;
        loop_.quit();
    }

    void describe(const BluezMonitor& monitor) {
        switch (monitor.presence()) {
        case BluezMonitor::Presence::waiting:
        case BluezMonitor::Presence::lost:
            findings_.daemon = Findings::Daemon::silent;
            break;
        case BluezMonitor::Presence::unavailable:
            findings_.daemon = Findings::Daemon::missing;
            break;
        case BluezMonitor::Presence::denied:
            findings_.daemon = Findings::Daemon::denied;
            break;
        case BluezMonitor::Presence::present:
            findings_.daemon = Findings::Daemon::running;
            break;
        }
        const BluezMonitor::Adapter* adapter = monitor.adapter();
        if (adapter == nullptr)
            return;
        findings_.adapterPath = monitor.adapterPath()->toStdString();
        findings_.address = adapter->address.toStdString();
        findings_.powered = adapter->powered;
        findings_.gattManager = adapter->gattManager;
        findings_.advertisingManager = adapter->advertisingManager;
        findings_.peripheralRole =
            !adapter->roles || adapter->roles->contains(QStringLiteral("peripheral"));
    }

    const ServiceDefinition& service_;
    const AdvertisementData& advertisement_;
    QEventLoop loop_;
    QTimer settle_;
    bool started_ = false;
    Findings findings_;
};

// The version of the program that owns the name, asked of that program itself: D-Bus offers no
// version of bluetoothd's.
std::optional<std::string> bluetoothdVersion(QDBusConnection& bus) {
    auto call =
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetConnectionUnixProcessID");
    call << bluez::busName;
    const QDBusMessage reply = bus.call(call, QDBus::Block, versionTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(reply.arguments().at(0).toUInt()));
    if (!commandLine.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString program = QString::fromLocal8Bit(commandLine.readAll().split('\0').first());
    if (QFileInfo(program).fileName() != QStringLiteral("bluetoothd"))
        return std::nullopt;
    QProcess process;
    process.start(program, {QStringLiteral("--version")});
    if (!process.waitForFinished(versionTimeoutMs)) {
        process.kill();
        process.waitForFinished(100);
        return std::nullopt;
    }
    const QString version = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (process.exitCode() != 0 || version.isEmpty())
        return std::nullopt;
    return version.toStdString();
}

} // namespace

BluezFindings probeBluez(const ServiceDefinition& service, const AdvertisementData& advertisement,
                         std::chrono::milliseconds deadline, QDBusConnection bus) {
    if (!bus.isConnected()) {
        Findings findings;
        findings.daemon = Findings::Daemon::noSystemBus;
        return findings;
    }
    Probe probe(service, advertisement);
    Findings findings = probe.run(bus, deadline);
    if (findings.daemon == Findings::Daemon::running)
        findings.version = bluetoothdVersion(bus);
    return findings;
}

std::optional<ConnectionInterval> readConnectionInterval(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    ConnectionInterval interval;
    QString section;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (section != QStringLiteral("LE") || line.startsWith('#') || equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        bool ok = false;
        const int value = line.mid(equals + 1).trimmed().toInt(&ok);
        if (!ok)
            continue;
        if (key == QStringLiteral("MinConnectionInterval"))
            interval.min = value;
        else if (key == QStringLiteral("MaxConnectionInterval"))
            interval.max = value;
    }
    return interval;
}

} // namespace tovali
