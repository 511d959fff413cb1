#include "platform/TpmSealedKeyStore.h"

#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"
#include "platform/FileSync.h"
#include "platform/PrivatePaths.h"
#include "platform/RegularFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sodium.h>
#include <sys/stat.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>
#include <utility>

namespace korvex::platform {

namespace {

// A key file holds two small TPM structures and the prompt's words.
constexpr qint64 kLargestKeyFile = 64 * 1024;
constexpr int kKeyFileFormat = 1;

// The response code without the handle, session or parameter number it names.
TSS2_RC baseCode(TSS2_RC rc) {
    if ((rc & TSS2_RC_LAYER_MASK) != TSS2_TPM_RC_LAYER)
        return rc;
    if ((rc & TPM2_RC_FMT1) != 0)
        return rc & (TPM2_RC_FMT1 | 0x3F);
    return rc & ~TSS2_RC_LAYER_MASK;
}

bool isWrongAuthorisation(TSS2_RC rc) {
    const TSS2_RC code = baseCode(rc);
    return code == TPM2_RC_AUTH_FAIL || code == TPM2_RC_BAD_AUTH;
}

bool isLockedOut(TSS2_RC rc) {
    return baseCode(rc) == TPM2_RC_LOCKOUT;
}

// One fixed property of the TPM, when it reports it.
std::optional<UINT32> tpmProperty(ESYS_CONTEXT* esys, TPM2_PT property) {
    TPMS_CAPABILITY_DATA* capability = nullptr;
    TPMI_YES_NO more = TPM2_NO;
    const TSS2_RC rc = Esys_GetCapability(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                          TPM2_CAP_TPM_PROPERTIES, property, 1, &more, &capability);
    std::optional<UINT32> value;
    if (rc == TSS2_RC_SUCCESS && capability != nullptr &&
        capability->data.tpmProperties.count == 1 &&
        capability->data.tpmProperties.tpmProperty[0].property == property)
        value = capability->data.tpmProperties.tpmProperty[0].value;
    Esys_Free(capability);
    return value;
}

// Whether the TPM refuses every authorisation just now (dictionary-attack lockout).
bool inLockout(ESYS_CONTEXT* esys) {
    const std::optional<UINT32> permanent = tpmProperty(esys, TPM2_PT_PERMANENT);
    return permanent && (*permanent & TPMA_PERMANENT_INLOCKOUT) != 0;
}

// What a creating command gives back beside the object, freed together.
struct CreationOutputs {
    TPM2B_PUBLIC* outPublic = nullptr;
    TPM2B_CREATION_DATA* data = nullptr;
    TPM2B_DIGEST* hash = nullptr;
    TPMT_TK_CREATION* ticket = nullptr;

    CreationOutputs() = default;
    CreationOutputs(const CreationOutputs&) = delete;
    CreationOutputs& operator=(const CreationOutputs&) = delete;
    ~CreationOutputs() {
        Esys_Free(outPublic);
        Esys_Free(data);
        Esys_Free(hash);
        Esys_Free(ticket);
    }
};

// The key's authorisation value: SHA-256 of the PIN, so that a PIN of any length fits the
// 32 bytes a SHA-256 key may hold.
TPM2B_AUTH authFromPin(const crypto::SecureBuffer& pin) {
    TPM2B_AUTH auth{};
    static_assert(sizeof(auth.buffer) >= crypto_hash_sha256_BYTES);
    crypto::ensureSodiumInitialised();
    crypto_hash_sha256(auth.buffer, pin.data(), pin.size());
    auth.size = crypto_hash_sha256_BYTES;
    return auth;
}

void wipeAuth(TPM2B_AUTH& auth) {
    crypto::secureWipe(&auth, sizeof(auth));
}

// RSA-OAEP with SHA-256 and no label, for sealing and unsealing.
TPMT_RSA_DECRYPT oaepScheme() {
    TPMT_RSA_DECRYPT scheme{};
    scheme.scheme = TPM2_ALG_OAEP;
    scheme.details.oaep.hashAlg = TPM2_ALG_SHA256;
    return scheme;
}

// The TCG's standard storage primary key: RSA 2048, AES-128-CFB, restricted decryption.
TPM2B_PUBLIC storagePrimaryTemplate() {
    TPM2B_PUBLIC pub{};
    pub.publicArea.type = TPM2_ALG_RSA;
    pub.publicArea.nameAlg = TPM2_ALG_SHA256;
    pub.publicArea.objectAttributes = TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT |
                                      TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                      TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                                      TPMA_OBJECT_NODA;
    TPMS_RSA_PARMS& rsa = pub.publicArea.parameters.rsaDetail;
    rsa.symmetric.algorithm = TPM2_ALG_AES;
    rsa.symmetric.keyBits.aes = 128;
    rsa.symmetric.mode.aes = TPM2_ALG_CFB;
    rsa.scheme.scheme = TPM2_ALG_NULL;
    rsa.keyBits = 2048;
    rsa.exponent = 0;
    pub.publicArea.unique.rsa.size = 256;
    return pub;
}

// A sealing key: RSA 2048 decryption with OAEP-SHA-256, its use authorised by the PIN and
// counted by the dictionary-attack protection.
TPM2B_PUBLIC sealingKeyTemplate() {
    TPM2B_PUBLIC pub{};
    pub.publicArea.type = TPM2_ALG_RSA;
    pub.publicArea.nameAlg = TPM2_ALG_SHA256;
    pub.publicArea.objectAttributes = TPMA_OBJECT_DECRYPT | TPMA_OBJECT_FIXEDTPM |
                                      TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
                                      TPMA_OBJECT_USERWITHAUTH;
    TPMS_RSA_PARMS& rsa = pub.publicArea.parameters.rsaDetail;
    rsa.symmetric.algorithm = TPM2_ALG_NULL;
    rsa.scheme.scheme = TPM2_ALG_OAEP;
    rsa.scheme.details.oaep.hashAlg = TPM2_ALG_SHA256;
    rsa.keyBits = 2048;
    rsa.exponent = 0;
    return pub;
}

struct KeyFile {
    TPM2B_PUBLIC publicPart{};
    TPM2B_PRIVATE privatePart{};
    SealedKeyPrompt words;
};

template <typename T, typename Marshal> QByteArray marshalled(const T& value, Marshal marshal) {
    QByteArray bytes(static_cast<qsizetype>(sizeof(T)), '\0');
    size_t offset = 0;
    if (marshal(&value, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size(), &offset) !=
        TSS2_RC_SUCCESS)
        return {};
    bytes.truncate(static_cast<qsizetype>(offset));
    return bytes;
}

template <typename T, typename Unmarshal>
bool unmarshalled(const QByteArray& bytes, T* value, Unmarshal unmarshal) {
    size_t offset = 0;
    return !bytes.isEmpty() &&
           unmarshal(reinterpret_cast<const uint8_t*>(bytes.constData()),
                     static_cast<size_t>(bytes.size()), &offset, value) == TSS2_RC_SUCCESS &&
           offset == static_cast<size_t>(bytes.size());
}

std::optional<KeyFile> readKeyFile(const QString& path) {
    const int fd = openRegularFile(path);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    QByteArray bytes;
    bool read = ::fstat(fd, &info) == 0 && info.st_size > 0 && info.st_size <= kLargestKeyFile;
    if (read) {
        bytes.resize(static_cast<qsizetype>(info.st_size));
        read = readFully(fd, bytes.data(), static_cast<std::size_t>(bytes.size()));
    }
    ::close(fd);
    if (!read)
        return std::nullopt;
    const QJsonObject json = QJsonDocument::fromJson(bytes).object();
    KeyFile key;
    if (json.value(QStringLiteral("format")).toInt() != kKeyFileFormat ||
        !unmarshalled(
            QByteArray::fromBase64(json.value(QStringLiteral("public")).toString().toLatin1()),
            &key.publicPart, Tss2_MU_TPM2B_PUBLIC_Unmarshal) ||
        !unmarshalled(
            QByteArray::fromBase64(json.value(QStringLiteral("private")).toString().toLatin1()),
            &key.privatePart, Tss2_MU_TPM2B_PRIVATE_Unmarshal))
        return std::nullopt;
    key.words.title = json.value(QStringLiteral("title")).toString();
    key.words.friendlyName = json.value(QStringLiteral("friendlyName")).toString();
    key.words.description = json.value(QStringLiteral("description")).toString();
    return key;
}

bool writeKeyFile(const QString& path, const KeyFile& key) {
    const QByteArray publicPart = marshalled(key.publicPart, Tss2_MU_TPM2B_PUBLIC_Marshal);
    const QByteArray privatePart = marshalled(key.privatePart, Tss2_MU_TPM2B_PRIVATE_Marshal);
    if (publicPart.isEmpty() || privatePart.isEmpty())
        return false;
    const QJsonObject json{
        {QStringLiteral("format"), kKeyFileFormat},
        {QStringLiteral("public"), QString::fromLatin1(publicPart.toBase64())},
        {QStringLiteral("private"), QString::fromLatin1(privatePart.toBase64())},
        {QStringLiteral("title"), key.words.title},
        {QStringLiteral("friendlyName"), key.words.friendlyName},
        {QStringLiteral("description"), key.words.description},
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !restrictToOwner(file.handle()))
        return false;
    const QByteArray bytes = QJsonDocument(json).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size() || !file.flush() || !syncFileData(file.handle()) ||
        !file.commit())
        return false;
    syncParentFolder(path);
    return true;
}

} // namespace

// An open ESYS context with the storage primary key loaded.
struct TpmSealedKeyStore::Tpm {
    TSS2_TCTI_CONTEXT* tcti = nullptr;
    ESYS_CONTEXT* esys = nullptr;
    ESYS_TR primary = ESYS_TR_NONE;

    ~Tpm() {
        if (esys != nullptr && primary != ESYS_TR_NONE)
            Esys_FlushContext(esys, primary);
        if (esys != nullptr)
            Esys_Finalize(&esys);
        if (tcti != nullptr)
            Tss2_TctiLdr_Finalize(&tcti);
    }

    // A sealing key loaded under the primary, or ESYS_TR_NONE.
    ESYS_TR load(const KeyFile& key) {
        ESYS_TR handle = ESYS_TR_NONE;
        if (Esys_Load(esys, primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &key.privatePart,
                      &key.publicPart, &handle) != TSS2_RC_SUCCESS)
            return ESYS_TR_NONE;
        return handle;
    }
};

QString TpmSealedKeyStore::defaultTctiConfig() {
    const QByteArray configured = qgetenv(kTctiVariable);
    if (!configured.isEmpty())
        return QString::fromLocal8Bit(configured);
    return QStringLiteral("device:/dev/tpmrm0");
}

QString TpmSealedKeyStore::defaultKeyFolder() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return data + QStringLiteral("/zelvora-tpm-keys");
}

TpmSealedKeyStore::TpmSealedKeyStore(QString tctiConfig, QString keyFolder,
                                     ISealedKeyPinPrompt* prompt)
    : tctiConfig_(std::move(tctiConfig)), keyFolder_(std::move(keyFolder)), prompt_(prompt) {}

TpmSealedKeyStore::~TpmSealedKeyStore() = default;

TpmSealedKeyStore::Tpm* TpmSealedKeyStore::tpm() {
    if (probed_)
        return tpm_.get();
    probed_ = true;
    // The TSS libraries log every failed open to standard error; a machine without a TPM is
    // ordinary, not an error.
    ::setenv("TSS2_LOG", "all+NONE", 0);
    auto tpm = std::make_unique<Tpm>();
    if (Tss2_TctiLdr_Initialize(tctiConfig_.toLocal8Bit().constData(), &tpm->tcti) !=
            TSS2_RC_SUCCESS ||
        Esys_Initialize(&tpm->esys, tpm->tcti, nullptr) != TSS2_RC_SUCCESS)
        return nullptr;
    // A TPM 2.0 says so in its family indicator ("2.0").
    if (tpmProperty(tpm->esys, TPM2_PT_FAMILY_INDICATOR) != 0x322E3000u)
        return nullptr;

    const TPM2B_SENSITIVE_CREATE noSecret{};
    const TPM2B_PUBLIC primaryTemplate = storagePrimaryTemplate();
    const TPM2B_DATA noOutsideInfo{};
    const TPML_PCR_SELECTION noPcrs{};
    CreationOutputs outputs;
    const TSS2_RC created = Esys_CreatePrimary(
        tpm->esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &noSecret,
        &primaryTemplate, &noOutsideInfo, &noPcrs, &tpm->primary, &outputs.outPublic, &outputs.data,
        &outputs.hash, &outputs.ticket);
    if (created != TSS2_RC_SUCCESS) {
        tpm->primary = ESYS_TR_NONE;
        return nullptr;
    }
    tpm_ = std::move(tpm);
    return tpm_.get();
}

QString TpmSealedKeyStore::keyPath(const QString& name) const {
    // Names become file names: only the plain characters the program's own names use.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]{1,128}$"));
    if (keyFolder_.isEmpty() || !plain.match(name).hasMatch())
        return {};
    return keyFolder_ + QLatin1Char('/') + name + QStringLiteral(".tpmkey");
}

bool TpmSealedKeyStore::hasProvider() {
    return tpm() != nullptr;
}

SealedKeyResult TpmSealedKeyStore::keyExists(const QString& name, bool* exists) {
    if (exists)
        *exists = false;
    if (tpm() == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    if (path.isEmpty())
        return SealedKeyResult::Failed;
    if (exists)
        *exists = isRegularFile(path);
    return SealedKeyResult::Ok;
}

SealedKeyResult TpmSealedKeyStore::createKey(const QString& name, const SealedKeyPrompt& prompt) {
    Tpm* tpm = this->tpm();
    if (tpm == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    if (path.isEmpty() || prompt_ == nullptr || !createPrivateFolder(keyFolder_) ||
        !restrictToOwner(keyFolder_))
        return SealedKeyResult::Failed;
    const std::optional<crypto::SecureBuffer> pin = prompt_->askForPin(prompt, PinRequest::NewPin);
    if (!pin)
        return SealedKeyResult::PromptCancelled;

    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_AUTH auth = authFromPin(*pin);
    sensitive.sensitive.userAuth = auth;
    wipeAuth(auth);
    const TPM2B_PUBLIC keyTemplate = sealingKeyTemplate();
    const TPM2B_DATA noOutsideInfo{};
    const TPML_PCR_SELECTION noPcrs{};
    TPM2B_PRIVATE* outPrivate = nullptr;
    CreationOutputs outputs;
    const TSS2_RC created =
        Esys_Create(tpm->esys, tpm->primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                    &sensitive, &keyTemplate, &noOutsideInfo, &noPcrs, &outPrivate,
                    &outputs.outPublic, &outputs.data, &outputs.hash, &outputs.ticket);
    crypto::secureWipe(&sensitive, sizeof(sensitive));
    KeyFile key;
    const bool made =
        created == TSS2_RC_SUCCESS && outPrivate != nullptr && outputs.outPublic != nullptr;
    if (made) {
        key.privatePart = *outPrivate;
        key.publicPart = *outputs.outPublic;
        key.words = prompt;
    }
    Esys_Free(outPrivate);
    if (!made || !writeKeyFile(path, key))
        return SealedKeyResult::Failed;
    return SealedKeyResult::Ok;
}

SealedKeyResult TpmSealedKeyStore::encrypt(const QString& name,
                                           const crypto::SecureBuffer& plaintext,
                                           QByteArray* ciphertext) {
    Tpm* tpm = this->tpm();
    if (tpm == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    const std::optional<KeyFile> key = path.isEmpty() ? std::nullopt : readKeyFile(path);
    TPM2B_PUBLIC_KEY_RSA message{};
    if (!key || ciphertext == nullptr || plaintext.size() > sizeof(message.buffer))
        return SealedKeyResult::Failed;
    const ESYS_TR handle = tpm->load(*key);
    if (handle == ESYS_TR_NONE)
        return SealedKeyResult::Failed;
    message.size = static_cast<UINT16>(plaintext.size());
    std::memcpy(message.buffer, plaintext.data(), plaintext.size());
    const TPMT_RSA_DECRYPT scheme = oaepScheme();
    const TPM2B_DATA noLabel{};
    TPM2B_PUBLIC_KEY_RSA* sealed = nullptr;
    const TSS2_RC rc = Esys_RSA_Encrypt(tpm->esys, handle, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                        &message, &scheme, &noLabel, &sealed);
    crypto::secureWipe(&message, sizeof(message));
    Esys_FlushContext(tpm->esys, handle);
    const bool ok = rc == TSS2_RC_SUCCESS && sealed != nullptr;
    if (ok)
        *ciphertext = QByteArray(reinterpret_cast<const char*>(sealed->buffer), sealed->size);
    Esys_Free(sealed);
    return ok ? SealedKeyResult::Ok : SealedKeyResult::Failed;
}

SealedKeyResult TpmSealedKeyStore::decrypt(const QString& name, const QByteArray& ciphertext,
                                           crypto::SecureBuffer* plaintext) {
    Tpm* tpm = this->tpm();
    if (tpm == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    const std::optional<KeyFile> key = path.isEmpty() ? std::nullopt : readKeyFile(path);
    TPM2B_PUBLIC_KEY_RSA sealed{};
    // Only a ciphertext as long as the key's modulus can be this key's: anything else fails
    // before the user is asked for a PIN.
    if (!key || plaintext == nullptr || prompt_ == nullptr ||
        ciphertext.size() != key->publicPart.publicArea.unique.rsa.size ||
        static_cast<std::size_t>(ciphertext.size()) > sizeof(sealed.buffer))
        return SealedKeyResult::Failed;
    sealed.size = static_cast<UINT16>(ciphertext.size());
    std::memcpy(sealed.buffer, ciphertext.constData(), sealed.size);
    const ESYS_TR handle = tpm->load(*key);
    if (handle == ESYS_TR_NONE)
        return SealedKeyResult::Failed;

    const TPMT_RSA_DECRYPT scheme = oaepScheme();
    const TPM2B_DATA noLabel{};
    // A session salted by the storage primary key: the PIN is proven with an HMAC instead of
    // being sent, and the secret comes back encrypted under the session key.
    const TPMT_SYM_DEF sessionCipher{TPM2_ALG_AES, {128}, {TPM2_ALG_CFB}};
    // A lockout is no fault of the key: the user is told, and it ends like a dismissed prompt,
    // so that no one is sent to restore a key that is still there.
    SealedKeyResult result = SealedKeyResult::Failed;
    if (inLockout(tpm->esys)) {
        prompt_->tellLockedOut(key->words);
        Esys_FlushContext(tpm->esys, handle);
        return SealedKeyResult::PromptCancelled;
    }
    for (PinRequest request = PinRequest::Pin;;) {
        std::optional<crypto::SecureBuffer> pin = prompt_->askForPin(key->words, request);
        if (!pin) {
            result = SealedKeyResult::PromptCancelled;
            break;
        }
        TPM2B_AUTH auth = authFromPin(*pin);
        pin.reset();
        const TSS2_RC authorised = Esys_TR_SetAuth(tpm->esys, handle, &auth);
        wipeAuth(auth);
        ESYS_TR session = ESYS_TR_NONE;
        if (authorised != TSS2_RC_SUCCESS ||
            Esys_StartAuthSession(tpm->esys, tpm->primary, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &sessionCipher,
                                  TPM2_ALG_SHA256, &session) != TSS2_RC_SUCCESS ||
            Esys_TRSess_SetAttributes(tpm->esys, session, TPMA_SESSION_ENCRYPT,
                                      TPMA_SESSION_ENCRYPT | TPMA_SESSION_CONTINUESESSION) !=
                TSS2_RC_SUCCESS) {
            if (session != ESYS_TR_NONE)
                Esys_FlushContext(tpm->esys, session);
            break;
        }
        TPM2B_PUBLIC_KEY_RSA* opened = nullptr;
        const TSS2_RC rc = Esys_RSA_Decrypt(tpm->esys, handle, session, ESYS_TR_NONE, ESYS_TR_NONE,
                                            &sealed, &scheme, &noLabel, &opened);
        // Without continueSession the TPM ends the session after a successful command; after
        // a failed one it may not have.
        if (rc != TSS2_RC_SUCCESS)
            Esys_FlushContext(tpm->esys, session);
        if (rc == TSS2_RC_SUCCESS && opened != nullptr) {
            *plaintext = crypto::SecureBuffer::copyOf(opened->buffer, opened->size);
            crypto::secureWipe(opened, sizeof(*opened));
            Esys_Free(opened);
            result = SealedKeyResult::Ok;
            break;
        }
        Esys_Free(opened);
        if (isLockedOut(rc)) {
            prompt_->tellLockedOut(key->words);
            result = SealedKeyResult::PromptCancelled;
            break;
        }
        if (!isWrongAuthorisation(rc))
            break;
        request = PinRequest::WrongPin;
    }
    Esys_FlushContext(tpm->esys, handle);
    return result;
}

SealedKeyResult TpmSealedKeyStore::deleteKey(const QString& name) {
    if (tpm() == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    if (path.isEmpty())
        return SealedKeyResult::Failed;
    if (!QFile::exists(path))
        return SealedKeyResult::Ok;
    if (!QFile::remove(path))
        return SealedKeyResult::Failed;
    syncParentFolder(path);
    return SealedKeyResult::Ok;
}

} // namespace korvex::platform
