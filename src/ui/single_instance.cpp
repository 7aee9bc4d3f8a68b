#include "ui/single_instance.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace tovali {
namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");
// Long enough for a first process that is busy starting, short enough for a user who waits.
constexpr int activateTimeoutMs = 5000;

} // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

std::optional<int> SingleInstance::claim() {
    if (auto exitStatus = claimBusName())
        return exitStatus;
    // Also with a bus: a start without one, from a console say, must see this one.
    return claimLockFile();
}

std::optional<int> SingleInstance::claimBusName() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr)
        return std::nullopt;
    // The object first, so that whoever sees the name can already call it.
    bus.registerObject(QString::fromLatin1(objectPath), this,
                       QDBusConnection::ExportScriptableSlots);
    const auto registered = bus.interface()->registerService(
        QString::fromLatin1(busName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (registered.isValid() && registered.value() == QDBusConnectionInterface::ServiceRegistered)
        return std::nullopt;
    bus.unregisterObject(QString::fromLatin1(objectPath));

    auto call = QDBusMessage::createMethodCall(QString::fromLatin1(busName),
                                               QString::fromLatin1(objectPath),
                                               applicationInterface, QStringLiteral("Activate"));
    call << QVariantMap();
    const QDBusMessage reply = bus.call(call, QDBus::Block, activateTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    std::fprintf(stderr, "tovali: Tovali is already running, but did not answer: %s\n",
                 reply.errorMessage().toLocal8Bit().constData());
    return 1;
}

std::optional<int> SingleInstance::claimLockFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/')
        return std::nullopt;
    const std::string path = std::string(runtime) + "/" + busName + ".lock";
    lockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    // A lock that cannot be taken at all is no reason to keep the user from Tovali.
    if (lockFd_ < 0)
        return std::nullopt;
    // Held until the process ends; the kernel lets go of it however that happens.
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return std::nullopt;
    std::fprintf(stderr,
                 "tovali: Tovali is already running in this session; open it from its icon.\n");
    return 0;
}

void SingleInstance::Activate(const QVariantMap&) {
    if (activate_)
        activate_();
}

} // namespace tovali
