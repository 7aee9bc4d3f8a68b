#include "support/keyring_daemon.hpp"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gio/gio.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace tovali::test {
namespace {

constexpr auto startTimeout = std::chrono::seconds(10);
constexpr const char* secretsName = "org.freedesktop.secrets";
constexpr const char* servicePath = "/org/freedesktop/secrets";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";

// Closed explicitly: clean-up left on the default main context, which no test runs, would
// otherwise keep the socket open.
struct CloseConnection {
    void operator()(GDBusConnection* connection) const {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
};
struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Connection = std::unique_ptr<GDBusConnection, CloseConnection>;
using Variant = std::unique_ptr<GVariant, VariantUnref>;

std::string takeMessage(GError* error) {
    std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return message;
}

// A private connection of the helper's: the process-wide session bus of GIO is the code under
// test's to open, on whichever bus the test names.
Connection connect(const std::string& address, std::string& why) {
    GError* error = nullptr;
    Connection connection(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    if (connection == nullptr)
        why = "cannot connect to the session bus: " + takeMessage(error);
    return connection;
}

Variant call(GDBusConnection* connection, const char* destination, const char* path,
             const char* interface, const char* method, GVariant* arguments, std::string& why) {
    GError* error = nullptr;
    Variant reply(g_dbus_connection_call_sync(connection, destination, path, interface, method,
                                              arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                              5000, nullptr, &error));
    if (reply == nullptr)
        why = std::string(method) + " failed: " + takeMessage(error);
    return reply;
}

} // namespace

KeyringDaemon::KeyringDaemon(const SessionBus& bus) : busAddress_(bus.address()) {
    if (!bus.running()) {
        error_ = "no session bus for the keyring daemon: " + bus.error();
        return;
    }
    const std::string& home = folder_.path();
    if (home.empty()) {
        error_ = "cannot make a home folder for the keyring daemon";
        return;
    }
    logPath_ = home + "/daemon.log";
    int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        error_ = "cannot open " + logPath_;
        return;
    }
    const char* path = std::getenv("PATH");
    std::string started = daemon_.start(
        {"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
        {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"), "HOME=" + home,
         "XDG_DATA_HOME=" + home, "XDG_CONFIG_HOME=" + home, "XDG_CACHE_HOME=" + home,
         "XDG_RUNTIME_DIR=" + home, "DBUS_SESSION_BUS_ADDRESS=" + busAddress_},
        log, true, false);
    close(log);
    if (!started.empty()) {
        error_ = started;
        return;
    }
    // One empty line is the empty password; with no line at all the daemon makes no login
    // collection.
    if (!daemon_.writeInputAndClose("\n")) {
        error_ = fail("cannot write the password to the keyring daemon");
        return;
    }

    std::string why;
    Connection connection = connect(busAddress_, why);
    if (connection == nullptr) {
        error_ = fail(why);
        return;
    }
    // The alias is answered once the daemon owns the name and has made its login collection.
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    Variant alias;
    while (!(alias = call(connection.get(), secretsName, servicePath, serviceInterface, "ReadAlias",
                          g_variant_new("(s)", "default"), why))) {
        if (std::string ended = daemon_.exitDescription(); !ended.empty()) {
            error_ = fail("gnome-keyring-daemon ended: " + ended);
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error_ = fail("gnome-keyring-daemon did not answer within 10 s: " + why);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const char* collection = nullptr;
    g_variant_get(alias.get(), "(&o)", &collection);
    if (std::string(collection) == "/") {
        error_ = fail("the keyring daemon has no default collection");
        return;
    }
    defaultCollection_ = collection;
}

KeyringDaemon::~KeyringDaemon() {
    daemon_.stop();
}

std::string KeyringDaemon::fail(const std::string& why) {
    daemon_.stop();
    std::string output = readLogTail(logPath_);
    return output.empty() ? why : why + "; its output:\n" + output;
}

std::optional<std::string> KeyringDaemon::lockDefaultCollection() {
    if (!running())
        return "the keyring daemon is not running: " + error_;
    std::string why;
    Connection connection = connect(busAddress_, why);
    if (connection == nullptr)
        return why;
    const char* paths[] = {defaultCollection_.c_str(), nullptr};
    Variant reply = call(connection.get(), secretsName, servicePath, serviceInterface, "Lock",
                         g_variant_new("(^ao)", paths), why);
    if (reply == nullptr)
        return why;
    const char* prompt = nullptr;
    g_autofree const char** locked = nullptr;
    g_variant_get(reply.get(), "(^a&o&o)", &locked, &prompt);
    if (std::string(prompt) != "/")
        return "locking asked for a prompt";
    return std::nullopt;
}

std::optional<std::string> KeyringDaemon::unlockDefaultCollection() {
    if (!running())
        return "the keyring daemon is not running: " + error_;
    std::string why;
    Connection connection = connect(busAddress_, why);
    if (connection == nullptr)
        return why;
    Variant opened =
        call(connection.get(), secretsName, servicePath, serviceInterface, "OpenSession",
             g_variant_new("(sv)", "plain", g_variant_new_string("")), why);
    if (opened == nullptr)
        return why;
    g_autoptr(GVariant) output = nullptr;
    const char* session = nullptr;
    g_variant_get(opened.get(), "(v&o)", &output, &session);
    // gnome-keyring's own way to unlock without its prompt, with the password the daemon was
    // started with: the one line it read, newline included.
    static const char newline = '\n';
    GVariant* password = g_variant_new(
        "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, nullptr, 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, &newline, 1, 1), "text/plain");
    Variant reply = call(connection.get(), secretsName, servicePath,
                         "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                         "UnlockWithMasterPassword",
                         g_variant_new("(o@(oayays))", defaultCollection_.c_str(), password), why);
    if (reply == nullptr)
        return why;
    return std::nullopt;
}

} // namespace tovali::test
