#include "crypto/AeadCipher.h"
#include "crypto/SecureBuffer.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sodium.h>

using namespace korvex;
using crypto::Bytes;
using crypto::SecureBuffer;
using protect::EnvelopeKind;
using protect::ProtectedReadStatus;

Q_DECLARE_METATYPE(korvex::protect::EnvelopeKind)
Q_DECLARE_METATYPE(korvex::protect::ProtectedReadStatus)

namespace {

SecureBuffer keyFrom(const QByteArray& bytes) {
    return SecureBuffer::copyOf(bytes.constData(), std::size_t(bytes.size()));
}

QByteArray keyBytes(char seed) {
    QByteArray key(32, '\0');
    for (int i = 0; i < key.size(); ++i)
        key[i] = char(seed + 7 * i);
    return key;
}

// HMAC-SHA-512-256 is HMAC-SHA-512 cut to 32 bytes; computing it with Qt checks the envelope
// against an implementation other than the one that wrote it.
QByteArray hmacSha512_256(const QByteArray& key, const QByteArray& message) {
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha512).left(32);
}

// Machine identifier followed by the vault generation, little-endian, as storage.dat binds it.
Bytes storageAssociatedData(const QByteArray& machine, quint64 generation) {
    Bytes ad(machine.cbegin(), machine.cend());
    for (int i = 0; i < 8; ++i)
        ad.push_back(std::uint8_t(generation >> (8 * i)));
    return ad;
}

QByteArray seal(EnvelopeKind kind, const QByteArray& payload, const SecureBuffer& key,
                const Bytes& ad) {
    return kind == EnvelopeKind::Encrypted ? protect::sealEncrypted(payload, key, ad)
                                           : protect::sealAuthenticated(payload, key);
}

std::optional<QByteArray> open(EnvelopeKind kind, const QByteArray& file, const SecureBuffer& key,
                               const Bytes& ad) {
    return kind == EnvelopeKind::Encrypted ? protect::openEncrypted(file, key, ad)
                                           : protect::openAuthenticated(file, key);
}

const QByteArray kAuthMagic(protect::kAuthenticatedMagic, 8);
const QByteArray kEncMagic(protect::kEncryptedMagic, 8);

QJsonObject sampleObject() {
    return QJsonObject{{QStringLiteral("username"), QStringLiteral("alice")},
                       {QStringLiteral("generation"), QStringLiteral("18446744073709551615")},
                       {QStringLiteral("flags"), QJsonArray{true, 2, QStringLiteral("x")}}};
}

} // namespace

class TestProtectedFile : public QObject {
    Q_OBJECT

private:
    test::FakeSealedKeyStore noTpm_;
    test::FakeUserDataProtection user_;
    std::unique_ptr<QTemporaryDir> dir_;
    const QByteArray key_ = keyBytes(3);
    const Bytes ad_ = storageAssociatedData("machine-A", 7);

    QString path(const QString& name) const { return dir_->filePath(name); }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // The envelopes themselves.
    void authenticatedEnvelopeLayout();
    void openAuthenticatedByShape_data();
    void openAuthenticatedByShape();
    void encryptedEnvelopeLayout();
    void everyAlterationFails_data();
    void everyAlterationFails();
    void wrongKeyOrAssociatedDataFails_data();
    void wrongKeyOrAssociatedDataFails();
    void keysOfWrongLengthSealNothing_data();
    void keysOfWrongLengthSealNothing();

    // Whole files, with their key files.
    void writeThenRead_data();
    void writeThenRead();
    void encryptedReadFallsBackToAuthenticated();
    void readFailures_data();
    void readFailures();
    void failedWriteLeavesEverythingAsItWas_data();
    void failedWriteLeavesEverythingAsItWas();
};

void TestProtectedFile::initTestCase() {
    noTpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
    protect::setLocalProtectionServices(&noTpm_, &user_);
}

void TestProtectedFile::init() {
    user_.refuse = false;
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestProtectedFile::cleanupTestCase() {
    protect::setLocalProtectionServices(nullptr, nullptr);
}

void TestProtectedFile::authenticatedEnvelopeLayout() {
    const QByteArray payload = R"({"username":"alice","n":1})";
    const QByteArray sealed = protect::sealAuthenticated(payload, keyFrom(key_));
    QCOMPARE(sealed.size(), 40 + payload.size());
    QCOMPARE(sealed.left(8), kAuthMagic);
    QCOMPARE(sealed.mid(8, 32), hmacSha512_256(key_, payload));
    QCOMPARE(sealed.mid(40), payload);
    // Deterministic: the same content under the same key seals to the same bytes.
    QCOMPARE(protect::sealAuthenticated(payload, keyFrom(key_)), sealed);
    QCOMPARE(protect::openAuthenticated(sealed, keyFrom(key_)), std::optional(payload));
}

void TestProtectedFile::openAuthenticatedByShape_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QByteArray>("payload");
    const QByteArray emptyTag = hmacSha512_256(key_, QByteArray());
    const QByteArray seven("1234567");
    const QByteArray json(R"({"a":1})");

    QTest::newRow("magic, empty payload: 40 bytes")
        << kAuthMagic + emptyTag << true << QByteArray();
    // Too short for the current form; reading it as the older form instead would be wrong.
    QTest::newRow("magic, 39 bytes") << (kAuthMagic + emptyTag).left(39) << false << QByteArray();
    QTest::newRow("magic only") << kAuthMagic << false << QByteArray();
    QTest::newRow("older form, empty payload: 32 bytes") << emptyTag << true << QByteArray();
    QTest::newRow("older form, 33 bytes")
        << hmacSha512_256(key_, "x") + "x" << true << QByteArray("x");
    QTest::newRow("older form, 39 bytes") << hmacSha512_256(key_, seven) + seven << true << seven;
    QTest::newRow("older form, document") << hmacSha512_256(key_, json) + json << true << json;
    QTest::newRow("31 bytes") << emptyTag.left(31) << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
}

void TestProtectedFile::openAuthenticatedByShape() {
    QFETCH(QByteArray, file);
    QFETCH(bool, opens);
    QFETCH(QByteArray, payload);
    const std::optional<QByteArray> opened = protect::openAuthenticated(file, keyFrom(key_));
    QCOMPARE(opened.has_value(), opens);
    if (opens)
        QCOMPARE(*opened, payload);
}

void TestProtectedFile::encryptedEnvelopeLayout() {
    const QByteArray plaintext = R"({"vaultPath":"/home/alice/vault.kvxs"})";
    const SecureBuffer key = keyFrom(key_);
    const QByteArray first = protect::sealEncrypted(plaintext, key, ad_);
    const QByteArray second = protect::sealEncrypted(plaintext, key, ad_);
    // Magic, 24-byte nonce, then suite byte, ciphertext and 16-byte tag.
    QCOMPARE(first.size(), 8 + 24 + 1 + plaintext.size() + 16);
    QCOMPARE(first.left(8), kEncMagic);
    QVERIFY(!first.contains("vaultPath"));
    // A fresh nonce every time.
    QVERIFY(first.mid(8, 24) != second.mid(8, 24));
    QVERIFY(first != second);
    QCOMPARE(protect::openEncrypted(first, key, ad_), std::optional(plaintext));
    QCOMPARE(protect::openEncrypted(second, key, ad_), std::optional(plaintext));

    // No associated data is a valid binding of its own, and the empty document seals too.
    const QByteArray bare = protect::sealEncrypted(QByteArray(), key, {});
    QCOMPARE(bare.size(), 8 + 24 + 17);
    QCOMPARE(protect::openEncrypted(bare, key, {}), std::optional(QByteArray()));

    // Neither envelope opens as the other.
    QVERIFY(!protect::openAuthenticated(first, key));
    QVERIFY(!protect::openEncrypted(protect::sealAuthenticated(plaintext, key), key, ad_));
}

void TestProtectedFile::everyAlterationFails_data() {
    QTest::addColumn<EnvelopeKind>("kind");
    QTest::addColumn<QByteArray>("sealed");
    QTest::addColumn<int>("unusedFrom");
    QTest::addColumn<int>("unusedTo");
    const SecureBuffer key = keyFrom(key_);
    const QByteArray payload = R"({"a":1})";
    QTest::newRow("authenticated")
        << EnvelopeKind::Authenticated << protect::sealAuthenticated(payload, key) << -1 << -1;

    // This processor's suite, as sealEncrypted picks it.
    const QByteArray native = protect::sealEncrypted(payload, key, ad_);
    if (native.at(32) == char(crypto::CipherSuite::Aes256Gcm)) {
        // AES-256-GCM takes only the first 12 of the 24 nonce bytes; the other 12 (file bytes
        // 20 to 31) are read by nothing and so protected by nothing.
        QTest::newRow("encrypted, AES-256-GCM") << EnvelopeKind::Encrypted << native << 20 << 31;
    }

    // XChaCha20-Poly1305, built by hand so that the reader's other suite is covered on any
    // processor.
    const Bytes nonce = crypto::AeadCipher::generateNonce();
    QByteArray xchacha = kEncMagic;
    xchacha.append(reinterpret_cast<const char*>(nonce.data()), qsizetype(nonce.size()));
    xchacha.append(char(crypto::CipherSuite::XChaCha20Poly1305));
    QByteArray cipher(payload.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES, '\0');
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(cipher.data()), nullptr,
        reinterpret_cast<const unsigned char*>(payload.constData()), std::size_t(payload.size()),
        ad_.data(), ad_.size(), nullptr, nonce.data(), key.data());
    QTest::newRow("encrypted, XChaCha20-Poly1305")
        << EnvelopeKind::Encrypted << xchacha + cipher << -1 << -1;
}

void TestProtectedFile::everyAlterationFails() {
    QFETCH(EnvelopeKind, kind);
    QFETCH(QByteArray, sealed);
    QFETCH(int, unusedFrom);
    QFETCH(int, unusedTo);
    const SecureBuffer key = keyFrom(key_);
    QCOMPARE(open(kind, sealed, key, ad_), std::optional(QByteArray(R"({"a":1})")));
    for (qsizetype i = 0; i < sealed.size(); ++i) {
        QVERIFY2(!open(kind, sealed.left(i), key, ad_),
                 qPrintable(QStringLiteral("first %1 bytes").arg(i)));
        if (i >= unusedFrom && i <= unusedTo)
            continue;
        QByteArray flipped = sealed;
        flipped[i] = char(flipped[i] ^ 0x01);
        QVERIFY2(!open(kind, flipped, key, ad_), qPrintable(QStringLiteral("byte %1").arg(i)));
    }
    QVERIFY(!open(kind, sealed + '\0', key, ad_));
}

void TestProtectedFile::wrongKeyOrAssociatedDataFails_data() {
    QTest::addColumn<EnvelopeKind>("kind");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<Bytes>("ad");
    const QByteArray other = keyBytes(4);
    QTest::newRow("authenticated, other key") << EnvelopeKind::Authenticated << other << ad_;
    QTest::newRow("authenticated, no key") << EnvelopeKind::Authenticated << QByteArray() << ad_;
    QTest::newRow("encrypted, other key") << EnvelopeKind::Encrypted << other << ad_;
    QTest::newRow("encrypted, no key") << EnvelopeKind::Encrypted << QByteArray() << ad_;
    QTest::newRow("encrypted, other machine")
        << EnvelopeKind::Encrypted << key_ << storageAssociatedData("machine-B", 7);
    QTest::newRow("encrypted, other generation")
        << EnvelopeKind::Encrypted << key_ << storageAssociatedData("machine-A", 8);
    QTest::newRow("encrypted, no associated data") << EnvelopeKind::Encrypted << key_ << Bytes();
}

void TestProtectedFile::wrongKeyOrAssociatedDataFails() {
    QFETCH(EnvelopeKind, kind);
    QFETCH(QByteArray, key);
    QFETCH(Bytes, ad);
    const QByteArray sealed = seal(kind, R"({"a":1})", keyFrom(key_), ad_);
    QVERIFY(!open(kind, sealed, keyFrom(key), ad));
    // What the encrypted kind's reader falls back to must not rescue it either.
    QVERIFY(!protect::openAuthenticated(sealed, keyFrom(key)));
}

void TestProtectedFile::keysOfWrongLengthSealNothing_data() {
    QTest::addColumn<int>("length");
    QTest::newRow("empty") << 0;
    QTest::newRow("31 bytes") << 31;
    QTest::newRow("33 bytes") << 33;
    QTest::newRow("64 bytes") << 64;
}

void TestProtectedFile::keysOfWrongLengthSealNothing() {
    QFETCH(int, length);
    // The right key cut short or lengthened: only the length is wrong.
    const QByteArray bytes = (key_ + keyBytes(9)).left(length);
    const SecureBuffer key = keyFrom(bytes);
    QVERIFY(protect::sealAuthenticated("{}", key).isEmpty());
    QVERIFY(protect::sealEncrypted("{}", key, ad_).isEmpty());
    QVERIFY(!protect::openAuthenticated(protect::sealAuthenticated("{}", keyFrom(key_)), key));
    QVERIFY(!protect::openEncrypted(protect::sealEncrypted("{}", keyFrom(key_), ad_), key, ad_));
}

void TestProtectedFile::writeThenRead_data() {
    QTest::addColumn<EnvelopeKind>("kind");
    QTest::newRow("authenticated") << EnvelopeKind::Authenticated;
    QTest::newRow("encrypted") << EnvelopeKind::Encrypted;
}

void TestProtectedFile::writeThenRead() {
    QFETCH(EnvelopeKind, kind);
    const QString file = path(QStringLiteral("new/folder/settings.dat"));
    const QString keyFile = file + QStringLiteral(".key");
    const QJsonObject object = sampleObject();
    const QByteArray compact = QJsonDocument(object).toJson(QJsonDocument::Compact);

    QVERIFY(protect::writeProtectedFile(file, object, kind, ad_));
    QVERIFY(QFileInfo::exists(file));
    QVERIFY(QFileInfo::exists(keyFile));
    QVERIFY(QFileInfo::exists(keyFile + QStringLiteral(".entropy")));
    // Nothing but the three files is left behind (no temporary files).
    QCOMPARE(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files).size(), 3);

    const QByteArray onDisk = test::readWholeFile(file);
    if (kind == EnvelopeKind::Authenticated) {
        QCOMPARE(onDisk.left(8), kAuthMagic);
        QCOMPARE(onDisk.mid(40), compact);
    } else {
        QCOMPARE(onDisk.left(8), kEncMagic);
        QCOMPARE(onDisk.size(), 8 + 24 + 17 + compact.size());
        QVERIFY(!onDisk.contains("alice"));
    }

    protect::ProtectedReadResult read = protect::readProtectedFile(file, kind, ad_);
    QCOMPARE(read.status, ProtectedReadStatus::Ok);
    QVERIFY(read.ok());
    QCOMPARE(read.object, object);

    // A second write reuses the key file and replaces the content.
    const QByteArray keyBefore = test::readWholeFile(keyFile);
    const QJsonObject changed{{QStringLiteral("username"), QStringLiteral("bob")}};
    QVERIFY(protect::writeProtectedFile(file, changed, kind, ad_));
    QCOMPARE(test::readWholeFile(keyFile), keyBefore);
    read = protect::readProtectedFile(file, kind, ad_);
    QCOMPARE(read.status, ProtectedReadStatus::Ok);
    QCOMPARE(read.object, changed);
}

void TestProtectedFile::encryptedReadFallsBackToAuthenticated() {
    const QString file = path(QStringLiteral("storage.dat"));
    QVERIFY(protect::writeProtectedFile(file, sampleObject(), EnvelopeKind::Authenticated));
    // An authenticated file under the right key reads for the encrypted kind, whatever the
    // associated data.
    protect::ProtectedReadResult read =
        protect::readProtectedFile(file, EnvelopeKind::Encrypted, ad_);
    QCOMPARE(read.status, ProtectedReadStatus::Ok);
    QCOMPARE(read.object, sampleObject());

    // The other way round there is no fallback.
    QVERIFY(protect::writeProtectedFile(file, sampleObject(), EnvelopeKind::Encrypted, ad_));
    QCOMPARE(protect::readProtectedFile(file, EnvelopeKind::Authenticated).status,
             ProtectedReadStatus::Unverifiable);
    // Bound to another generation: the decryption fails, and so does the fallback.
    QCOMPARE(protect::readProtectedFile(file, EnvelopeKind::Encrypted,
                                        storageAssociatedData("machine-A", 6))
                 .status,
             ProtectedReadStatus::Unverifiable);
}

namespace {
enum class Damage {
    Missing,
    FolderInstead,
    FlippedPayload,
    FlippedTag,
    FlippedMagic,
    Truncated39,
    Empty,
    Random,
    Oversized,
    KeyFileGone,
    OtherFilesKey,
    KeyringRefuses,
    ArrayPayload,
    TextPayload,
    EmptyPayload,
};
} // namespace
Q_DECLARE_METATYPE(Damage)

void TestProtectedFile::readFailures_data() {
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<ProtectedReadStatus>("status");
    const auto row = [](const char* name, Damage damage, ProtectedReadStatus status) {
        QTest::newRow(name) << damage << status;
    };
    row("missing", Damage::Missing, ProtectedReadStatus::Missing);
    row("folder at the path", Damage::FolderInstead, ProtectedReadStatus::Missing);
    row("flipped payload byte", Damage::FlippedPayload, ProtectedReadStatus::Unverifiable);
    row("flipped tag byte", Damage::FlippedTag, ProtectedReadStatus::Unverifiable);
    row("flipped magic byte", Damage::FlippedMagic, ProtectedReadStatus::Unverifiable);
    row("truncated to 39 bytes", Damage::Truncated39, ProtectedReadStatus::Unverifiable);
    row("empty file", Damage::Empty, ProtectedReadStatus::Unverifiable);
    row("random bytes", Damage::Random, ProtectedReadStatus::Unverifiable);
    row("17 MiB", Damage::Oversized, ProtectedReadStatus::Unverifiable);
    row("key file deleted", Damage::KeyFileGone, ProtectedReadStatus::Unverifiable);
    row("another file's key", Damage::OtherFilesKey, ProtectedReadStatus::Unverifiable);
    // The keyring out of reach says nothing about the file: told apart from a failed check.
    row("keyring refuses", Damage::KeyringRefuses, ProtectedReadStatus::KeyUnavailable);
    row("array payload", Damage::ArrayPayload, ProtectedReadStatus::NotAnObject);
    row("payload not JSON", Damage::TextPayload, ProtectedReadStatus::NotAnObject);
    row("empty payload", Damage::EmptyPayload, ProtectedReadStatus::NotAnObject);
}

void TestProtectedFile::readFailures() {
    QFETCH(Damage, damage);
    QFETCH(ProtectedReadStatus, status);
    const QString file = path(QStringLiteral("identity.dat"));
    const QString keyFile = file + QStringLiteral(".key");
    QVERIFY(protect::writeProtectedFile(file, sampleObject(), EnvelopeKind::Authenticated));
    const qint64 size = QFileInfo(file).size();

    // A validly sealed file whose payload is not an object.
    const auto sealRaw = [&](const QByteArray& payload) {
        const SecureBuffer key = protect::LocalIntegrityKey::loadKey(keyFile);
        QVERIFY(!key.empty());
        QVERIFY(test::writeFile(file, protect::sealAuthenticated(payload, key)));
    };
    switch (damage) {
    case Damage::Missing:
        QVERIFY(QFile::remove(file));
        break;
    case Damage::FolderInstead:
        QVERIFY(QFile::remove(file));
        QVERIFY(QDir().mkpath(file));
        break;
    case Damage::FlippedPayload:
        QVERIFY(test::flipByte(file, size - 2));
        break;
    case Damage::FlippedTag:
        QVERIFY(test::flipByte(file, 20));
        break;
    case Damage::FlippedMagic:
        QVERIFY(test::flipByte(file, 0));
        break;
    case Damage::Truncated39:
        QVERIFY(QFile::resize(file, 39));
        break;
    case Damage::Empty:
        QVERIFY(QFile::resize(file, 0));
        break;
    case Damage::Random: {
        QByteArray noise(200, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), 50);
        QVERIFY(test::writeFile(file, noise));
        break;
    }
    case Damage::Oversized:
        // The valid envelope followed by a long zero tail: refused before it is read in.
        QVERIFY(QFile::resize(file, 17 * 1024 * 1024));
        break;
    case Damage::KeyFileGone:
        QVERIFY(QFile::remove(keyFile));
        break;
    case Damage::OtherFilesKey: {
        const QString other = path(QStringLiteral("other.dat"));
        QVERIFY(protect::writeProtectedFile(other, sampleObject(), EnvelopeKind::Authenticated));
        for (const QString& suffix : {QStringLiteral(".key"), QStringLiteral(".key.entropy")}) {
            QVERIFY(QFile::remove(file + suffix));
            QVERIFY(QFile::copy(other + suffix, file + suffix));
        }
        break;
    }
    case Damage::KeyringRefuses:
        user_.refuse = true;
        break;
    case Damage::ArrayPayload:
        sealRaw("[1,2,3]");
        break;
    case Damage::TextPayload:
        sealRaw("username=alice");
        break;
    case Damage::EmptyPayload:
        sealRaw(QByteArray());
        break;
    }

    const QByteArray keyBefore = test::readWholeFile(keyFile);
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(file, EnvelopeKind::Authenticated);
    QCOMPARE(read.status, status);
    QVERIFY(!read.ok());
    QVERIFY(read.object.isEmpty());
    // Reading never creates or replaces a key.
    QCOMPARE(QFileInfo::exists(keyFile), damage != Damage::KeyFileGone);
    QCOMPARE(test::readWholeFile(keyFile), keyBefore);
}

namespace {
enum class Obstacle { KeyringRefuses, KeyFileUnusable, TargetIsFolder, ParentIsFile };
} // namespace
Q_DECLARE_METATYPE(Obstacle)

void TestProtectedFile::failedWriteLeavesEverythingAsItWas_data() {
    QTest::addColumn<Obstacle>("obstacle");
    QTest::newRow("keyring refuses") << Obstacle::KeyringRefuses;
    QTest::newRow("key file unusable") << Obstacle::KeyFileUnusable;
    QTest::newRow("target is a folder") << Obstacle::TargetIsFolder;
    QTest::newRow("parent is a file") << Obstacle::ParentIsFile;
}

void TestProtectedFile::failedWriteLeavesEverythingAsItWas() {
    QFETCH(Obstacle, obstacle);
    QString file = path(QStringLiteral("twofactor.dat"));
    const QString keyFile = file + QStringLiteral(".key");
    QVERIFY(protect::writeProtectedFile(file, sampleObject(), EnvelopeKind::Authenticated));

    switch (obstacle) {
    case Obstacle::KeyringRefuses:
        user_.refuse = true;
        break;
    case Obstacle::KeyFileUnusable:
        QVERIFY(test::writeFile(keyFile, "not a key"));
        break;
    case Obstacle::TargetIsFolder:
        QVERIFY(QFile::remove(file));
        QVERIFY(QDir().mkpath(file));
        QVERIFY(test::writeFile(file + QStringLiteral("/inside"), "kept"));
        break;
    case Obstacle::ParentIsFile:
        file = path(QStringLiteral("twofactor.dat/nested.dat"));
        break;
    }

    QMap<QString, QByteArray> before;
    for (const QFileInfo& entry :
         QDir(dir_->path()).entryInfoList(QDir::Files | QDir::NoDotAndDotDot))
        before.insert(entry.fileName(), test::readWholeFile(entry.absoluteFilePath()));

    const QJsonObject replacement{{QStringLiteral("enabled"), true}};
    QVERIFY(!protect::writeProtectedFile(file, replacement, EnvelopeKind::Authenticated));
    QVERIFY(!protect::writeProtectedFile(file, replacement, EnvelopeKind::Encrypted, ad_));

    // Every file in the folder is byte for byte what it was, and nothing was added; an unusable
    // key file in particular is never replaced by a new key, which would orphan the data.
    QMap<QString, QByteArray> after;
    for (const QFileInfo& entry :
         QDir(dir_->path()).entryInfoList(QDir::Files | QDir::NoDotAndDotDot))
        after.insert(entry.fileName(), test::readWholeFile(entry.absoluteFilePath()));
    QCOMPARE(after, before);
    if (obstacle == Obstacle::TargetIsFolder) {
        QVERIFY(QFileInfo(file).isDir());
        QCOMPARE(test::readWholeFile(file + QStringLiteral("/inside")), QByteArray("kept"));
    }
}

QTEST_GUILESS_MAIN(TestProtectedFile)
#include "tst_protectedfile.moc"
