#include "platform/bluez/dbus_types.hpp"

#include <QDBusMetaType>

namespace tovali::bluez {

void registerDBusTypes() {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();
}

} // namespace tovali::bluez
