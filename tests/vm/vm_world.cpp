#include "vm/vm_world.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QRegularExpression>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

namespace {

// Plain ATT as most watches use it, and an MTU small enough that replies take several reads.
constexpr const char* mainConf = "[GATT]\nChannels=1\nExchangeMTU=48\n[Policy]\nAutoEnable=true\n";

std::string runToEnd(const std::vector<std::string>& argv) {
    ChildProcess process;
    if (std::string error = process.start(argv, currentEnvironment(), STDERR_FILENO, false, false);
        !error.empty())
        return error;
    std::string ended;
    waitUntil([&] { return !(ended = process.exitDescription()).empty(); }, 10000);
    return ended == "it exited with status 0" ? std::string() : argv[0] + ": " + ended;
}

} // namespace

VmWorld::VmWorld() {
    const char* results = std::getenv("TOVALI_VM_RESULTS");
    results_ = results ? results : folder_.path();
    std::ofstream(folder_.path() + "/main.conf") << mainConf;

    const std::string monitorLog = folder_.path() + "/calls.log";
    const int log = ::open(monitorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    error_ = monitor_.start({"dbus-monitor", "--system", "--monitor",
                             "type='method_call',interface='org.bluez.GattManager1'",
                             "type='method_call',interface='org.bluez.LEAdvertisingManager1'"},
                            currentEnvironment(), log, false, false);
    ::close(log);
    // It prints NameLost once it monitors.
    if (error_.empty() && !waitUntil([&] {
            QFile file(QString::fromStdString(monitorLog));
            return file.open(QIODevice::ReadOnly) && file.readAll().contains("member=NameLost");
        }))
        error_ = "dbus-monitor did not start";
    if (error_.empty())
        error_ = app_.error();
    if (error_.empty())
        error_ = startBluetoothd();
    if (error_.empty())
        error_ = app_.launch(TOVALI_EXECUTABLE);
}

VmWorld::~VmWorld() {
    app_.terminate();
    bluetoothd_.stop();
}

std::string VmWorld::startBluetoothd() {
    const std::string log = results_ + "/bluetoothd.log";
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string error = bluetoothd_.start(
        {"/usr/libexec/bluetooth/bluetoothd", "-n", "-d", "-f", folder_.path() + "/main.conf"},
        currentEnvironment(), fd, false, false);
    ::close(fd);
    if (!error.empty())
        return error;
    auto bus = QDBusConnection::systemBus();
    if (!waitUntil([&] { return bus.interface()->isServiceRegistered("org.bluez").value(); }))
        return "bluetoothd did not take its name: " + readLogTail(log);
    return {};
}

std::string VmWorld::restartBluetoothd() {
    ::kill(bluetoothd_.pid(), SIGKILL);
    waitUntil([&] { return !bluetoothd_.exitDescription().empty(); });
    // Its registrations died with it.
    callsBefore_ = calls().size();
    return startBluetoothd();
}

std::string VmWorld::powerCycle(int index) {
    const std::string controller = std::to_string(index);
    std::string error = runToEnd({"btmgmt", "--index", controller, "power", "off"});
    if (error.empty())
        error = runToEnd({"btmgmt", "--index", controller, "power", "on"});
    return error;
}

QStringList VmWorld::calls() const {
    QFile file(QString::fromStdString(folder_.path() + "/calls.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression call(
        QStringLiteral("^method call .* path=([^;]+);.* member=(Register|Unregister)(\\w+)$"));
    QStringList calls;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (const auto match = call.match(QString::fromUtf8(line)); match.hasMatch())
            calls << match.captured(2) + ' ' + match.captured(3) + ' ' + match.captured(1);
    }
    return calls;
}

QMap<QString, int> VmWorld::registrations() const {
    QMap<QString, int> standing;
    for (const QString& call : calls().mid(callsBefore_)) {
        const int space = call.indexOf(' ');
        standing[call.mid(space + 1)] += call.startsWith(QStringLiteral("Register")) ? 1 : -1;
    }
    return standing;
}

int VmWorld::activeAdvertisements(const QString& adapter) const {
    auto call = QDBusMessage::createMethodCall("org.bluez", adapter,
                                               "org.freedesktop.DBus.Properties", "Get");
    call << QStringLiteral("org.bluez.LEAdvertisingManager1") << QStringLiteral("ActiveInstances");
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return -1;
    return reply.arguments().at(0).value<QDBusVariant>().variant().toInt();
}

std::string VmWorld::logs() const {
    return "tovali:\n" + app_.log() + "\nbluetoothd:\n" + readLogTail(results_ + "/bluetoothd.log");
}

} // namespace tovali::test
