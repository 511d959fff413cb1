#include "platform/SecretServiceProtection.h"

#include "crypto/AeadCipher.h"
#include "crypto/SecureWipe.h"

#include <algorithm>
#include <cstring>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <limits>
#include <memory>

namespace korvex::platform {

namespace {

constexpr char kSecretServiceName[] = "org.freedesktop.secrets";
constexpr char kItemLabel[] = "Zelvora user data protection key";
constexpr char kContentType[] = "application/octet-stream";
constexpr int kBusQueryTimeoutMs = 5000;
// How long a cancelled call may take to wind down (dismissing its prompt) before it is given up.
constexpr std::chrono::milliseconds kCancelGrace = std::chrono::seconds(5);

const SecretSchema* wrappingKeySchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.zelvora.UserDataProtection";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"purpose", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"version", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

// A SecretValue whose bytes are zeroed before the reference is dropped. The value is shared
// with the item that loaded it, so this wipes libsecret's copy as well as ours.
struct SecretValueWipe {
    void operator()(SecretValue* value) const {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        if (bytes && length > 0)
            crypto::secureWipe(const_cast<gchar*>(bytes), length);
        secret_value_unref(value);
    }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueWipe>;

AttributesPtr wrappingKeyAttributes() {
    return AttributesPtr(secret_attributes_build(wrappingKeySchema(), "application", "Zelvora",
                                                 "purpose", "user-data-protection", "version", "1",
                                                 nullptr));
}

guint clampedMs(std::chrono::milliseconds duration) {
    return guint(std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0,
                                                            std::numeric_limits<guint>::max()));
}

// Runs libsecret's asynchronous calls one at a time on a private main context of this thread,
// under one time limit. When the limit passes, the cancellable is cancelled; a call still busy
// after a short grace (a keyring that never answers the dismissal of its prompt) is abandoned.
// Everything a call needs while it runs is served here, on this thread: a cancelled prompt is
// dismissed through a further D-Bus call whose reply must reach this context.
class KeyringCalls {
public:
    explicit KeyringCalls(std::chrono::milliseconds limit)
        : context_(g_main_context_new()), cancellable_(g_cancellable_new()),
          limit_(g_timeout_source_new(clampedMs(limit))),
          giveUp_(g_timeout_source_new(clampedMs(limit + kCancelGrace))) {
        g_main_context_push_thread_default(context_);
        g_source_set_callback(limit_, &KeyringCalls::onLimit, cancellable_, nullptr);
        g_source_attach(limit_, context_);
        g_source_set_callback(giveUp_, &KeyringCalls::onGiveUp, &givenUp_, nullptr);
        g_source_attach(giveUp_, context_);
    }
    // Create this before the objects the calls return, so that they are gone by now.
    ~KeyringCalls() {
        for (GSource* source : {limit_, giveUp_}) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        // Releasing those objects queued clean-ups (their D-Bus signal subscriptions) on this
        // context: let them run, or they would be lost with it.
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
        g_object_unref(cancellable_);
    }
    KeyringCalls(const KeyringCalls&) = delete;
    KeyringCalls& operator=(const KeyringCalls&) = delete;

    // Starts one call through start(cancellable, callback, user data) and serves the context
    // until it completes. Its result, or null when it was abandoned.
    template <typename StartCall> GObjectPtr<GAsyncResult> run(StartCall&& start) {
        auto* pending = new Completion;
        start(cancellable_, &KeyringCalls::completed, pending);
        while (!pending->result && !givenUp_)
            g_main_context_iteration(context_, TRUE);
        if (!pending->result) {
            // Still referenced by the call; freed by it should it ever complete.
            pending->abandoned = true;
            return nullptr;
        }
        GObjectPtr<GAsyncResult> result(pending->result);
        delete pending;
        return result;
    }

private:
    struct Completion {
        GAsyncResult* result = nullptr;
        bool abandoned = false;
    };

    static void completed(GObject*, GAsyncResult* result, gpointer data) {
        auto* pending = static_cast<Completion*>(data);
        if (pending->abandoned)
            delete pending;
        else
            pending->result = G_ASYNC_RESULT(g_object_ref(result));
    }
    static gboolean onLimit(gpointer cancellable) {
        g_cancellable_cancel(G_CANCELLABLE(cancellable));
        return G_SOURCE_REMOVE;
    }
    static gboolean onGiveUp(gpointer flag) {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
    }

    GMainContext* context_;
    GCancellable* cancellable_;
    GSource* limit_;
    GSource* giveUp_;
    bool givenUp_ = false;
};

// A failed call: says why, and forgets the shared service connection so that the next call
// starts afresh (a keyring daemon that restarted has forgotten our session). No error means the
// call was abandoned.
std::vector<crypto::SecureBuffer> refuse(const char* what, GError* rawError) {
    const ErrorPtr error(rawError);
    if (!error || g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
        qWarning("SecretServiceUserDataProtection: %s: no answer in time.", what);
    else
        qWarning("SecretServiceUserDataProtection: %s: %s", what, error->message);
    secret_service_disconnect();
    return {};
}

// The process shares one session-bus connection; losing the bus must fail the calls, not end
// the program (GLib's default for a shared bus connection).
void keepProcessOnBusLoss(GDBusConnection* bus) {
    if (bus)
        g_dbus_connection_set_exit_on_close(bus, FALSE);
}

std::vector<crypto::SecureBuffer> createWrappingKey(KeyringCalls& calls, SecretService* service,
                                                    GHashTable* attributes,
                                                    UserProtectionFailure* failure) {
    GError* rawError = nullptr;
    auto result =
        calls.run([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
            secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                        cancellable, done, data);
        });
    if (!result)
        return refuse("cannot find the default keyring", nullptr);
    const GObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_finish(result.get(), &rawError));
    if (rawError)
        return refuse("cannot find the default keyring", rawError);
    if (!collection) {
        qWarning("SecretServiceUserDataProtection: the keyring has no default collection to "
                 "hold the wrapping key.");
        return {};
    }

    if (secret_collection_get_locked(collection.get())) {
        GList* objects = g_list_append(nullptr, collection.get());
        result = calls.run([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
            secret_service_unlock(service, objects, cancellable, done, data);
        });
        g_list_free(objects);
        if (!result)
            return refuse("cannot unlock the default keyring", nullptr);
        GList* unlocked = nullptr;
        const gint count =
            secret_service_unlock_finish(service, result.get(), &unlocked, &rawError);
        g_list_free_full(unlocked, g_object_unref);
        if (rawError)
            return refuse("cannot unlock the default keyring", rawError);
        if (count < 1) {
            *failure = UserProtectionFailure::PromptCancelled;
            qWarning("SecretServiceUserDataProtection: the default keyring stays locked; no "
                     "wrapping key is created.");
            return {};
        }
    }

    crypto::SecureBuffer key = crypto::AeadCipher::generateKey();
    const SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(key.data()),
                                                gssize(key.size()), kContentType));
    result = calls.run([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        secret_item_create(collection.get(), wrappingKeySchema(), attributes, kItemLabel,
                           value.get(), SECRET_ITEM_CREATE_NONE, cancellable, done, data);
    });
    if (!result)
        return refuse("cannot store the wrapping key in the keyring", nullptr);
    const GObjectPtr<SecretItem> item(secret_item_create_finish(result.get(), &rawError));
    if (!item)
        return refuse("cannot store the wrapping key in the keyring", rawError);

    std::vector<crypto::SecureBuffer> keys;
    keys.push_back(std::move(key));
    return keys;
}

} // namespace

SecretServiceUserDataProtection::SecretServiceUserDataProtection(std::chrono::milliseconds timeout)
    : timeout_(timeout) {}

crypto::SecureBuffer SecretServiceUserDataProtection::sealingKey() {
    std::vector<crypto::SecureBuffer> keys = fetchKeys(true);
    if (keys.empty())
        return {};
    return std::move(keys.front());
}

std::vector<crypto::SecureBuffer> SecretServiceUserDataProtection::openingKeys() {
    return fetchKeys(false);
}

// Every usable wrapping key in the keyring, oldest first. Two can exist when two instances
// created one at the same moment: new blobs are sealed with the oldest, and a blob opens under
// whichever sealed it. Items that stay locked (the unlock prompt was dismissed or could not be
// shown) are never replaced by a new key: that would orphan every blob sealed under them.
std::vector<crypto::SecureBuffer> SecretServiceUserDataProtection::fetchKeys(bool createIfMissing) {
    // Whatever goes wrong before a key is in hand means the keyring cannot be used now.
    keyFailure_ = UserProtectionFailure::Unavailable;
    KeyringCalls calls(timeout_);
    GError* rawError = nullptr;
    auto result = calls.run([](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, done, data);
    });
    if (!result)
        return refuse("cannot reach the Secret Service", nullptr);
    const GObjectPtr<SecretService> service(secret_service_get_finish(result.get(), &rawError));
    if (!service)
        return refuse("cannot reach the Secret Service", rawError);
    keepProcessOnBusLoss(g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get())));

    const AttributesPtr attributes = wrappingKeyAttributes();
    result = calls.run([&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer data) {
        secret_service_search(service.get(), wrappingKeySchema(), attributes.get(),
                              SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                                SECRET_SEARCH_LOAD_SECRETS),
                              cancellable, done, data);
    });
    if (!result)
        return refuse("cannot search the keyring", nullptr);
    const ItemListPtr found(secret_service_search_finish(service.get(), result.get(), &rawError));
    if (rawError)
        return refuse("cannot search the keyring", rawError);

    std::vector<SecretItem*> items;
    for (GList* node = found.get(); node; node = node->next)
        items.push_back(static_cast<SecretItem*>(node->data));
    std::stable_sort(items.begin(), items.end(), [](SecretItem* a, SecretItem* b) {
        return secret_item_get_created(a) < secret_item_get_created(b);
    });

    std::vector<crypto::SecureBuffer> keys;
    int locked = 0;
    int malformed = 0;
    for (SecretItem* item : items) {
        if (secret_item_get_locked(item)) {
            ++locked;
            continue;
        }
        const SecretValuePtr value(secret_item_get_secret(item));
        gsize length = 0;
        const gchar* bytes = value ? secret_value_get(value.get(), &length) : nullptr;
        if (!bytes || length != kUserWrappingKeyBytes) {
            ++malformed;
            continue;
        }
        keys.push_back(crypto::SecureBuffer::copyOf(bytes, length));
    }
    if (!keys.empty()) {
        keyFailure_ = UserProtectionFailure::None;
        return keys;
    }
    if (locked > 0) {
        // The unlock prompt was dismissed, or could not be shown: the user's answer, not a fault.
        qWarning("SecretServiceUserDataProtection: the keyring holding the wrapping key is locked "
                 "and was not unlocked.");
        keyFailure_ = UserProtectionFailure::PromptCancelled;
        return {};
    }
    if (malformed > 0) {
        qWarning("SecretServiceUserDataProtection: the keyring item meant to hold the wrapping "
                 "key does not hold 32 bytes; refusing it.");
        keyFailure_ = UserProtectionFailure::Refused;
        return {};
    }
    // No wrapping key in this keyring: nothing sealed under one can be opened here.
    if (!createIfMissing)
        return {};
    std::vector<crypto::SecureBuffer> created =
        createWrappingKey(calls, service.get(), attributes.get(), &keyFailure_);
    if (!created.empty())
        keyFailure_ = UserProtectionFailure::None;
    return created;
}

bool SecretServiceUserDataProtection::isAvailable() {
    GError* rawError = nullptr;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    if (!bus) {
        const ErrorPtr error(rawError);
        qInfo("SecretServiceUserDataProtection: no session bus (%s).",
              error ? error->message : "unknown error");
        return false;
    }
    keepProcessOnBusLoss(bus.get());

    const auto askBus = [&](const char* method, GVariant* arguments, const char* replyType) {
        GVariant* reply = g_dbus_connection_call_sync(
            bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            method, arguments, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
            kBusQueryTimeoutMs, nullptr, &rawError);
        if (!reply) {
            const ErrorPtr error(rawError);
            rawError = nullptr;
            qWarning("SecretServiceUserDataProtection: the session bus did not answer %s: %s",
                     method, error ? error->message : "unknown error");
        }
        return reply;
    };

    GVariant* reply = askBus("NameHasOwner", g_variant_new("(s)", kSecretServiceName), "(b)");
    if (!reply)
        return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    if (owned)
        return true;

    reply = askBus("ListActivatableNames", nullptr, "(as)");
    if (!reply)
        return false;
    bool activatable = false;
    GVariantIter* names = nullptr;
    g_variant_get(reply, "(as)", &names);
    const gchar* name = nullptr;
    while (g_variant_iter_loop(names, "&s", &name)) {
        if (std::strcmp(name, kSecretServiceName) == 0)
            activatable = true;
    }
    g_variant_iter_free(names);
    g_variant_unref(reply);
    return activatable;
}

std::unique_ptr<IUserDataProtection> createUserDataProtection() {
    return createUserDataProtection(SecretServiceUserDataProtection::isAvailable()
                                        ? UserProtectionKind::Keyring
                                        : UserProtectionKind::UserKeyFile);
}

std::unique_ptr<IUserDataProtection> createUserDataProtection(UserProtectionKind kind) {
    if (kind == UserProtectionKind::Keyring)
        return std::make_unique<SecretServiceUserDataProtection>();
    return std::make_unique<UserKeyFileDataProtection>();
}

} // namespace korvex::platform
