#include "platform/bluez/dbus_types.hpp"

#include <QDBusMetaType>

namespace tovali::bluez {

void registerDBusTypes() {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();
}

QByteArray toQByteArray(ByteView bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

} // namespace tovali::bluez
