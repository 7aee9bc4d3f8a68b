#include "platform/secret_service/secret_service_keychain.hpp"

#include <functional>
#include <libsecret/secret.h>
#include <memory>
#include <string>

namespace tovali {
namespace {

// Filled in field by field: the reserved members are libsecret's.
const SecretSchema schema = [] {
    SecretSchema value{};
    value.name = "app.tovali.Secret";
    value.flags = SECRET_SCHEMA_NONE;
    value.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    value.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return value;
}();

// Secrets are bytes; a text type would invite other tools to re-encode them.
constexpr const char* contentType = "application/octet-stream";

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

// D-Bus strings are UTF-8 without NUL; anything else would trip GVariant's assertions.
bool isBusString(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// The errors by which the bus says that nobody is there to answer, or that the one who is there
// will not serve this process.
bool meansNoService(const GError& error) {
    if (error.domain == G_IO_ERROR)
        return error.code == G_IO_ERROR_CLOSED || error.code == G_IO_ERROR_BROKEN_PIPE;
    if (error.domain != G_DBUS_ERROR)
        return false;
    switch (error.code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_NO_REPLY:
    case G_DBUS_ERROR_TIMEOUT:
    case G_DBUS_ERROR_TIMED_OUT:
    case G_DBUS_ERROR_NO_SERVER:
    case G_DBUS_ERROR_DISCONNECTED:
    case G_DBUS_ERROR_ACCESS_DENIED:
    case G_DBUS_ERROR_AUTH_FAILED:
    case G_DBUS_ERROR_NOT_SUPPORTED:
    // A name owner that is not a Secret Service at all.
    case G_DBUS_ERROR_UNKNOWN_METHOD:
    case G_DBUS_ERROR_UNKNOWN_INTERFACE:
    case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
    case G_DBUS_ERROR_SPAWN_FORK_FAILED:
    case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
    case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
    case G_DBUS_ERROR_SPAWN_FAILED:
    case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
    case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
    case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
    case G_DBUS_ERROR_SPAWN_FILE_INVALID:
    case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        return true;
    default:
        return false;
    }
}

KeychainResult statusFor(const GError* error) {
    if (error == nullptr)
        return KeychainResult::failed;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
        return KeychainResult::locked;
    if (meansNoService(*error))
        return KeychainResult::unavailable;
    return KeychainResult::failed;
}

// libsecret's proxies leave clean-up work, and with it references to the bus connection, on the
// thread-default main context. A context of the call's own, drained at its end, lets the
// connection go with the call rather than when the application's loop next runs, and never runs
// the application's own sources from inside a call.
class CallContext {
public:
    CallContext() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_); }
    ~CallContext() {
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;

private:
    GMainContext* context_;
};

struct Lookup {
    KeychainResult status = KeychainResult::success;
    Owned<SecretService> service;
    /// The item of the query, or null when there is none.
    Owned<SecretItem> item;
};

Lookup fail(KeychainResult status) {
    Lookup failed;
    failed.status = status;
    return failed;
}

GHashTable* attributesFor(const KeychainQuery& query) {
    return secret_attributes_build(&schema, "service", query.service.c_str(), "account",
                                   query.account.c_str(), nullptr);
}

Lookup lookUp(const KeychainQuery& query) {
    if (!isBusString(query.service) || !isBusString(query.account))
        return fail(KeychainResult::failed);

    g_autoptr(GError) error = nullptr;
    // Asked apart from the service so that a missing bus, whatever error GIO gives for it, counts
    // as a missing service.
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr)
        return fail(KeychainResult::unavailable);

    // A service of our own rather than libsecret's shared one, which would outlive this call and
    // keep a session with a service that may since have gone.
    Lookup found;
    found.service.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr,
                                                 SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
    if (found.service == nullptr)
        return fail(statusFor(error));

    g_autoptr(GHashTable) attributes = attributesFor(query);
    // Never with SECRET_SEARCH_UNLOCK: unlocking may put a password prompt in front of the user.
    g_autolist(SecretItem) items = secret_service_search_sync(
        found.service.get(), &schema, attributes, SECRET_SEARCH_NONE, nullptr, &error);
    if (error != nullptr)
        return fail(statusFor(error));
    if (items != nullptr)
        found.item.reset(SECRET_ITEM(g_object_ref(items->data)));
    return found;
}

// Called on the default main context, which the application's loop runs.
void onSecretsSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant*, gpointer data) {
    // A copy: the call may end the subscription that owns the original.
    const std::function<void()> changed = *static_cast<std::function<void()>*>(data);
    changed();
}

} // namespace

Subscription SecretServiceKeychain::whenChanged(std::function<void()> changed) {
    // A connection of its own, since the calls above open and drop theirs.
    g_autofree gchar* address =
        g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (address == nullptr)
        return {};
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (bus == nullptr)
        return {};
    auto* callback = new std::function<void()>(std::move(changed));
    const GDestroyNotify free = [](gpointer data) {
        delete static_cast<std::function<void()>*>(data);
    };
    // gnome-keyring says CollectionChanged when a collection is locked or unlocked; other
    // services only change the collection's Locked property.
    const guint collectionChanged = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.Secret.Service", "CollectionChanged", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onSecretsSignal, callback, nullptr);
    const guint propertiesChanged = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", nullptr,
        "org.freedesktop.Secret.Collection", G_DBUS_SIGNAL_FLAGS_NONE, onSecretsSignal, callback,
        free);
    return Subscription([bus, collectionChanged, propertiesChanged] {
        g_dbus_connection_signal_unsubscribe(bus, collectionChanged);
        g_dbus_connection_signal_unsubscribe(bus, propertiesChanged);
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    });
}

KeychainReadResult SecretServiceKeychain::copyMatching(const KeychainQuery& query) {
    CallContext context;
    Lookup found = lookUp(query);
    if (found.status != KeychainResult::success)
        return {found.status, std::nullopt};
    if (found.item == nullptr)
        return {KeychainResult::itemNotFound, std::nullopt};

    // A locked item answers IsLocked here; reading a secret never prompts.
    g_autoptr(GError) error = nullptr;
    if (!secret_item_load_secret_sync(found.item.get(), nullptr, &error))
        return {statusFor(error), std::nullopt};
    g_autoptr(SecretValue) value = secret_item_get_secret(found.item.get());
    if (value == nullptr)
        return {KeychainResult::failed, std::nullopt};

    // The one copy outside libsecret's wiped memory is the caller's.
    gsize length = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(secret_value_get(value, &length));
    return {KeychainResult::success, Bytes(bytes, bytes + length)};
}

KeychainResult SecretServiceKeychain::add(const KeychainQuery& query, ByteView data) {
    CallContext context;
    // Storing through libsecret replaces an item with the same attributes, so look first.
    Lookup found = lookUp(query);
    if (found.status != KeychainResult::success)
        return found.status;
    if (found.item != nullptr)
        return KeychainResult::duplicateItem;

    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretCollection) collection = secret_collection_for_alias_sync(
        found.service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    if (error != nullptr)
        return statusFor(error);
    // Making a default collection, or storing into a locked one, may answer with a password
    // prompt, which libsecret would show; that is for the user's keyring tool, not start-up.
    if (collection == nullptr || secret_collection_get_locked(collection))
        return KeychainResult::locked;

    static const char empty = 0;
    g_autoptr(SecretValue) value =
        secret_value_new(data.empty() ? &empty : reinterpret_cast<const gchar*>(data.data()),
                         static_cast<gssize>(data.size()), contentType);
    g_autoptr(GHashTable) attributes = attributesFor(query);
    std::string label = "Tovali secret " + query.service + "/" + query.account;
    g_autoptr(SecretItem) item =
        secret_item_create_sync(collection, &schema, attributes, label.c_str(), value,
                                SECRET_ITEM_CREATE_NONE, nullptr, &error);
    if (item == nullptr)
        return statusFor(error);
    return KeychainResult::success;
}

} // namespace tovali
