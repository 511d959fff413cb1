#include "FuzzSupport.h"
#include "core/AuthManager.h"
#include "core/Clock.h"
#include "core/IdleLockSetting.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "protect/AtomicFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "protect/RollbackGuard.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

// Input: a payload. It is opened as a whole envelope of either kind under a fixed key (which
// must simply fail), sealed into both kinds and opened again (which must give it back, and
// nothing under the wrong key or associated data), and then, as the verified payload of a
// settings file, handed to the code that reads that file.
//
// The settings keys come from a root secret put into the session cache, the way a TPM-sealed
// folder works once unsealed: so the owners' own key loading runs, with no keyring, TPM or
// prompt behind it.

using namespace korvex;
using crypto::SecureBuffer;

namespace {

const QString kBindingText = QStringLiteral("fuzz-machine");
constexpr quint64 kBindingNumber = 0x0102030405060708;

class FixedClock final : public core::Clock {
public:
    QDateTime nowUtc() const override {
        return QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);
    }
};

// The lockout floor kept in memory, fresh for every input.
class MemoryFloorStore final : public core::LockoutFloorStore {
public:
    std::optional<quint32> readCount(const QString& name) override {
        return counts_.contains(name) ? std::optional<quint32>(counts_.value(name)) : std::nullopt;
    }
    std::optional<QString> readText(const QString& name) override {
        return texts_.contains(name) ? std::optional<QString>(texts_.value(name)) : std::nullopt;
    }
    bool writeCount(const QString& name, quint32 count) override {
        counts_.insert(name, count);
        return true;
    }
    bool writeText(const QString& name, const QString& text) override {
        texts_.insert(name, text);
        return true;
    }
    bool remove(const QString& name) override {
        counts_.remove(name);
        texts_.remove(name);
        return true;
    }

private:
    QMap<QString, quint32> counts_;
    QMap<QString, QString> texts_;
};

// storage.dat's associated data: the binding text in UTF-8, then the binding number in eight
// little-endian bytes. Checked against what StorageConfigFile writes before the first input.
crypto::Bytes storageBinding() {
    const QByteArray text = kBindingText.toUtf8();
    crypto::Bytes data(text.cbegin(), text.cend());
    for (int i = 0; i < 8; ++i)
        data.push_back(std::uint8_t(kBindingNumber >> (8 * i)));
    return data;
}

// One settings file: its path and the key its reader will load from path + ".key".
struct SettingsFile {
    QString path;
    SecureBuffer key;
};

SettingsFile settingsFile(const QString& name) {
    SettingsFile file{fuzz::scratchFolder() + QLatin1Char('/') + name, SecureBuffer()};
    file.key = protect::LocalIntegrityKey::getOrCreateKey(file.path + QStringLiteral(".key"));
    if (file.key.size() != protect::kFileKeyBytes) {
        std::fprintf(stderr, "no settings key for %s\n", qPrintable(file.path));
        std::abort();
    }
    return file;
}

struct Fixture {
    SecureBuffer key = fuzz::fixedKey(0x20);
    SecureBuffer otherKey = fuzz::fixedKey(0x21);
    crypto::Bytes associatedData{'f', 'u', 'z', 'z'};
    crypto::Bytes otherAssociatedData{'f', 'u', 'z', 'Z'};
    FixedClock clock;
    SettingsFile idleLock, storage, generations, twoFactor, twoFactorTransition, identity,
        identityTransition, lockout;

    Fixture() {
        protect::LocalIntegrityKey::cacheRoot(fuzz::scratchFolder(), fuzz::fixedKey(0x70));
        idleLock = settingsFile(QStringLiteral("idlelock.dat"));
        storage = settingsFile(QStringLiteral("storage.dat"));
        generations = settingsFile(QStringLiteral("vault_generations.dat"));
        twoFactor = settingsFile(QStringLiteral("twofactor.dat"));
        twoFactorTransition = settingsFile(QStringLiteral("twofactor.dat.transition"));
        identity = settingsFile(QStringLiteral("identity.dat"));
        identityTransition = settingsFile(QStringLiteral("identity.dat.transition"));
        lockout = settingsFile(QStringLiteral("identity.dat.lockout"));

        // The harness seals storage.dat itself: its idea of the binding must be the owner's.
        const core::StorageConfigFile config(storage.path, kBindingText, kBindingNumber);
        std::optional<QByteArray> written;
        if (config.save(core::StorageConfig{}))
            written = protect::readSmallFile(storage.path);
        if (!written || !protect::openEncrypted(*written, storage.key, storageBinding())) {
            std::fprintf(stderr, "storage.dat's binding differs from the harness's\n");
            std::abort();
        }
    }
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

void checkRoundTrips(const Fixture& f, const QByteArray& payload) {
    const QByteArray authenticated = protect::sealAuthenticated(payload, f.key);
    FUZZ_CHECK(authenticated.size() == 8 + 32 + payload.size());
    FUZZ_CHECK(protect::openAuthenticated(authenticated, f.key) == payload);
    // The older form without the magic.
    FUZZ_CHECK(protect::openAuthenticated(authenticated.mid(8), f.key) == payload);
    FUZZ_CHECK(!protect::openAuthenticated(authenticated, f.otherKey));
    FUZZ_CHECK(!protect::openEncrypted(authenticated, f.key, f.associatedData));
    QByteArray altered = authenticated;
    altered[8 + qsizetype(payload.size() % (32 + payload.size()))] ^= 0x01;
    FUZZ_CHECK(!protect::openAuthenticated(altered, f.key));

    const QByteArray encrypted = protect::sealEncrypted(payload, f.key, f.associatedData);
    FUZZ_CHECK(protect::openEncrypted(encrypted, f.key, f.associatedData) == payload);
    FUZZ_CHECK(!protect::openEncrypted(encrypted, f.otherKey, f.associatedData));
    FUZZ_CHECK(!protect::openEncrypted(encrypted, f.key, f.otherAssociatedData));
    FUZZ_CHECK(
        !protect::openEncrypted(encrypted.left(encrypted.size() - 1), f.key, f.associatedData));
    FUZZ_CHECK(protect::sealAuthenticated(payload, SecureBuffer()).isEmpty());
    FUZZ_CHECK(protect::sealEncrypted(payload, SecureBuffer(), f.associatedData).isEmpty());
}

void place(const SettingsFile& file, const QByteArray& sealed) {
    if (!fuzz::writeScratchFile(file.path, sealed))
        std::abort();
}

void placeAuthenticated(const SettingsFile& file, const QByteArray& payload) {
    place(file, protect::sealAuthenticated(payload, file.key));
}

// Each input goes to one reader, chosen by its length: a mutation that keeps the length stays
// with the reader that found it interesting. (Every settings read costs a large buffer, which
// is slow under the sanitizers, so feeding every reader each input would starve the search.)
void feedOwner(const Fixture& f, const QByteArray& payload) {
    switch (payload.size() % 6) {
    case 0: {
        placeAuthenticated(f.idleLock, payload);
        const int minutes = core::loadIdleTimeoutMinutes(f.idleLock.path);
        FUZZ_CHECK(minutes >= 0 && minutes <= core::kMaxIdleTimeoutMinutes);
        break;
    }
    case 1: {
        place(f.storage, protect::sealEncrypted(payload, f.storage.key, storageBinding()));
        const core::StorageConfigFile storage(f.storage.path, kBindingText, kBindingNumber);
        core::StorageConfig config;
        storage.load(&config);
        FUZZ_CHECK(config.maxVaultSizeBytes >= 0);
        (void)core::StorageConfigFile::resolveVaultPath(config.container, fuzz::scratchFolder());
        break;
    }
    case 2:
        placeAuthenticated(f.generations, payload);
        (void)protect::highestGeneration(f.generations.path);
        break;
    case 3: {
        placeAuthenticated(f.twoFactor, payload);
        const core::TwoFactorManager twoFactor(f.twoFactor.path, f.clock);
        (void)twoFactor.loadState();
        (void)twoFactor.unwrapSecret(f.key);
        break;
    }
    case 4: {
        placeAuthenticated(f.twoFactorTransition, payload);
        const core::TwoFactorManager twoFactor(f.twoFactor.path, f.clock);
        (void)twoFactor.transitionVaultRekeyed(kBindingNumber);
        placeAuthenticated(f.identityTransition, payload);
        const core::AuthManager account(f.identity.path, f.clock,
                                        std::make_shared<MemoryFloorStore>());
        (void)account.transitionVaultRekeyed(kBindingNumber);
        break;
    }
    case 5:
        // A lockout file that does not verify or hold an object is charged as tampering and
        // rewritten (with a sync); only objects are read, to keep each input cheap.
        if (QJsonDocument::fromJson(payload).isObject()) {
            placeAuthenticated(f.identity, payload);
            placeAuthenticated(f.lockout, payload);
            core::LockoutTracker tracker(f.lockout.path, f.clock,
                                         std::make_shared<MemoryFloorStore>());
            const int seconds = tracker.lockoutSecondsRemaining();
            FUZZ_CHECK(seconds >= 0 && seconds <= 60);
        }
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Fixture& f = fixture();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));

    // As a whole envelope: nothing the fuzzer writes carries a valid tag under the fixed key.
    FUZZ_CHECK(!protect::openAuthenticated(input, f.key));
    FUZZ_CHECK(!protect::openEncrypted(input, f.key, f.associatedData));
    FUZZ_CHECK(!protect::openAuthenticated(input, SecureBuffer()));

    checkRoundTrips(f, input);
    feedOwner(f, input);
    return 0;
}
