#include "support/keyring_daemon.hpp"

#include <chrono>
#include <fcntl.h>
#include <gio/gio.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace tovali::test {
namespace {

constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";

// Closed explicitly: clean-up left on the default main context, which no test runs, would
// otherwise keep the socket open.
struct CloseConnection {
    void operator()(GDBusConnection* connection) const {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
};
using Connection = std::unique_ptr<GDBusConnection, CloseConnection>;

// A private connection of the helper's: the process-wide session bus of GIO is the code under
// test's to open, on whichever bus the test names.
Connection connect(const std::string& address) {
    return Connection(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
}

// A call to the Secret Service: its reply, or none with `why` set.
GVariant* call(GDBusConnection* connection, const char* interface, const char* method,
               GVariant* arguments, std::string& why) {
    GError* error = nullptr;
    GVariant* reply = connection == nullptr
                          ? nullptr
                          : g_dbus_connection_call_sync(
                                connection, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                interface, method, arguments, nullptr,
                                G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
    if (reply == nullptr)
        why = std::string(method) + " failed: " + (error != nullptr ? error->message : "no bus");
    g_clear_error(&error);
    return reply;
}

} // namespace

KeyringDaemon::KeyringDaemon(const SessionBus& bus) : busAddress_(bus.address()) {
    const std::string& home = folder_.path();
    const std::string logPath = home + "/daemon.log";
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    error_ =
        daemon_.start({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                      {"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_DATA_HOME=" + home,
                       "XDG_CONFIG_HOME=" + home, "XDG_CACHE_HOME=" + home,
                       "XDG_RUNTIME_DIR=" + home, "DBUS_SESSION_BUS_ADDRESS=" + busAddress_},
                      log, true, false);
    close(log);
    // One empty line is the empty password; with no line at all the daemon makes no login
    // collection.
    if (error_.empty() && !daemon_.writeInputAndClose("\n"))
        error_ = "cannot write the password to the keyring daemon";
    // The alias is answered once the daemon owns the name and has made its login collection.
    Connection connection = connect(busAddress_);
    std::string why;
    g_autoptr(GVariant) alias = nullptr;
    for (int tries = 0; error_.empty() && !alias; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        alias = call(connection.get(), serviceInterface, "ReadAlias",
                     g_variant_new("(s)", "default"), why);
        if (!alias && (tries == 2000 || !daemon_.exitDescription().empty()))
            error_ = "gnome-keyring-daemon did not answer: " + why;
    }
    const char* collection = "/";
    if (alias)
        g_variant_get(alias, "(&o)", &collection);
    if (std::string(collection) == "/")
        error_ = (error_.empty() ? "the keyring daemon has no default collection" : error_) +
                 "; its output:\n" + readLogTail(logPath);
    else
        defaultCollection_ = collection;
}

std::optional<std::string> KeyringDaemon::lockDefaultCollection() {
    std::string why;
    g_autoptr(GVariant) reply =
        call(connect(busAddress_).get(), serviceInterface, "Lock",
             g_variant_new_parsed("([%o],)", defaultCollection_.c_str()), why);
    return reply != nullptr ? std::nullopt : std::optional(why);
}

std::optional<std::string> KeyringDaemon::unlockDefaultCollection() {
    std::string why;
    // The session and the call that uses it must share a connection.
    Connection connection = connect(busAddress_);
    g_autoptr(GVariant) opened =
        call(connection.get(), serviceInterface, "OpenSession",
             g_variant_new("(sv)", "plain", g_variant_new_string("")), why);
    if (opened == nullptr)
        return why;
    const char* session = nullptr;
    g_variant_get_child(opened, 1, "&o", &session);
    // gnome-keyring's own way to unlock without its prompt, with the password the daemon was
    // started with: the one line it read, newline included.
    g_autoptr(GVariant) reply =
        call(connection.get(), "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
             "UnlockWithMasterPassword",
             g_variant_new_parsed("(%o, (%o, @ay [], [byte 0x0a], 'text/plain'))",
                                  defaultCollection_.c_str(), session),
             why);
    return reply != nullptr ? std::nullopt : std::optional(why);
}

} // namespace tovali::test
