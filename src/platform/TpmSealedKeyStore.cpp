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
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
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

// Whether rc comes from the TPM itself (directly, or passed on by a resource manager).
bool isFromTpm(TSS2_RC rc) {
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    return layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER;
}

// The response code without the layer and the handle, session or parameter number it names.
TSS2_RC baseCode(TSS2_RC rc) {
    if (!isFromTpm(rc))
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

// The command never reached the TPM, its answer never came back, or the library's context is no
// longer usable after such a fault (it then refuses every further call): the connection is
// dropped, and nothing is said about any key. Only what the TPM itself answers speaks of keys.
bool isUnreachable(TSS2_RC rc) {
    return rc != TSS2_RC_SUCCESS && !isFromTpm(rc);
}

// The TPM answered with a warning (busy, out of memory for objects or sessions, its storage
// rate-limited, the command cancelled): the key may be fine; it can be tried again later. A
// lockout is told apart.
bool isBusy(TSS2_RC rc) {
    const TSS2_RC code = baseCode(rc);
    return isFromTpm(rc) && (code & TPM2_RC_FMT1) == 0 && (code & TPM2_RC_WARN) == TPM2_RC_WARN &&
           code != TPM2_RC_LOCKOUT;
}

// The TPM is out of room for one more object or session just now.
bool isOutOfRoom(TSS2_RC rc) {
    const TSS2_RC code = baseCode(rc);
    return code == TPM2_RC_OBJECT_MEMORY || code == TPM2_RC_SESSION_MEMORY ||
           code == TPM2_RC_MEMORY || code == TPM2_RC_OBJECT_HANDLES ||
           code == TPM2_RC_SESSION_HANDLES;
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

// The dictionary-attack state: wrong authorisations counted so far against the most allowed,
// and the seconds after which one is forgotten (and a locked key takes one PIN again).
PinTries pinTries(ESYS_CONTEXT* esys) {
    PinTries tries;
    const std::optional<UINT32> counted = tpmProperty(esys, TPM2_PT_LOCKOUT_COUNTER);
    const std::optional<UINT32> most = tpmProperty(esys, TPM2_PT_MAX_AUTH_FAIL);
    if (counted && most)
        tries.left = *most > *counted ? *most - *counted : 0;
    tries.lockoutSeconds = tpmProperty(esys, TPM2_PT_LOCKOUT_INTERVAL);
    return tries;
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
    // The name of the storage primary key the key was made under; empty in files written
    // before it was recorded.
    QByteArray parentName;
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
    key.parentName =
        QByteArray::fromBase64(json.value(QStringLiteral("parentName")).toString().toLatin1());
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
        {QStringLiteral("parentName"), QString::fromLatin1(key.parentName.toBase64())},
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

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BignumFree {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
struct ParamBuilderFree {
    void operator()(OSSL_PARAM_BLD* builder) const { OSSL_PARAM_BLD_free(builder); }
};
struct ParamsFree {
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};

// Whether a key's public part is a sealing key as this program makes them: RSA 2048 for
// decryption with OAEP over SHA-256.
bool isSealingKey(const TPM2B_PUBLIC& pub) {
    const TPMT_PUBLIC& area = pub.publicArea;
    return area.type == TPM2_ALG_RSA && (area.objectAttributes & TPMA_OBJECT_DECRYPT) != 0 &&
           (area.objectAttributes & TPMA_OBJECT_RESTRICTED) == 0 &&
           area.parameters.rsaDetail.keyBits == 2048 &&
           area.parameters.rsaDetail.scheme.scheme == TPM2_ALG_OAEP &&
           area.parameters.rsaDetail.scheme.details.oaep.hashAlg == TPM2_ALG_SHA256 &&
           area.unique.rsa.size == 256;
}

// RSA-OAEP (SHA-256 for the digest and the mask, no label) to the key's public part: what
// TPM2_RSA_Decrypt undoes with the private part, done here so that the secret never goes to
// the TPM.
std::optional<QByteArray> sealToPublicPart(const TPM2B_PUBLIC& pub,
                                           const crypto::SecureBuffer& plaintext) {
    if (!isSealingKey(pub))
        return std::nullopt;
    const TPMS_RSA_PARMS& rsa = pub.publicArea.parameters.rsaDetail;
    std::unique_ptr<BIGNUM, BignumFree> modulus(
        BN_bin2bn(pub.publicArea.unique.rsa.buffer, pub.publicArea.unique.rsa.size, nullptr));
    std::unique_ptr<BIGNUM, BignumFree> exponent(BN_new());
    std::unique_ptr<OSSL_PARAM_BLD, ParamBuilderFree> builder(OSSL_PARAM_BLD_new());
    if (!modulus || !exponent || !builder ||
        BN_set_word(exponent.get(), rsa.exponent == 0 ? 65537 : rsa.exponent) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1)
        return std::nullopt;
    std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(builder.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree> maker(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) != 1 ||
        EVP_PKEY_fromdata(maker.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return std::nullopt;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(made);
    std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree> sealer(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    std::size_t length = 0;
    if (!sealer || EVP_PKEY_encrypt_init(sealer.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(sealer.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(sealer.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(sealer.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_encrypt(sealer.get(), nullptr, &length, plaintext.data(), plaintext.size()) != 1 ||
        length != 256)
        return std::nullopt;
    QByteArray sealed(static_cast<qsizetype>(length), '\0');
    if (EVP_PKEY_encrypt(sealer.get(), reinterpret_cast<unsigned char*>(sealed.data()), &length,
                         plaintext.data(), plaintext.size()) != 1 ||
        length != 256)
        return std::nullopt;
    return sealed;
}

// A session salted by the storage primary key that encrypts the first parameter of the
// command (attribute) on its way in or out; it also authorises with an HMAC rather than a
// plain password. Flushed when this goes, unless the TPM has already ended it.
class SaltedSession {
public:
    SaltedSession(ESYS_CONTEXT* esys, ESYS_TR primary, TPMA_SESSION attribute) : esys_(esys) {
        const TPMT_SYM_DEF cipher{TPM2_ALG_AES, {128}, {TPM2_ALG_CFB}};
        rc_ = Esys_StartAuthSession(esys, primary, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                    ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &cipher, TPM2_ALG_SHA256,
                                    &handle_);
        if (rc_ != TSS2_RC_SUCCESS) {
            handle_ = ESYS_TR_NONE;
            return;
        }
        // Without continueSession the TPM ends the session after a successful command.
        rc_ = Esys_TRSess_SetAttributes(esys, handle_, attribute,
                                        attribute | TPMA_SESSION_CONTINUESESSION);
    }
    ~SaltedSession() {
        if (handle_ == ESYS_TR_NONE)
            return;
        // Ended by the TPM: only the library's record of it is left to let go of.
        if (ended_)
            Esys_TR_Close(esys_, &handle_);
        else
            Esys_FlushContext(esys_, handle_);
    }
    SaltedSession(const SaltedSession&) = delete;
    SaltedSession& operator=(const SaltedSession&) = delete;

    bool ok() const { return rc_ == TSS2_RC_SUCCESS; }
    TSS2_RC rc() const { return rc_; }
    ESYS_TR handle() const { return handle_; }
    // The command it authorised succeeded, so the TPM has ended it.
    void endedByTpm() { ended_ = true; }

private:
    ESYS_CONTEXT* esys_;
    ESYS_TR handle_ = ESYS_TR_NONE;
    TSS2_RC rc_ = TSS2_RC_SUCCESS;
    bool ended_ = false;
};

} // namespace

// An open ESYS context with the storage primary key loaded.
struct TpmSealedKeyStore::Tpm {
    TSS2_TCTI_CONTEXT* tcti = nullptr;
    ESYS_CONTEXT* esys = nullptr;
    ESYS_TR primary = ESYS_TR_NONE;
    QByteArray primaryName;

    ~Tpm() {
        if (esys != nullptr && primary != ESYS_TR_NONE)
            Esys_FlushContext(esys, primary);
        if (esys != nullptr)
            Esys_Finalize(&esys);
        if (tcti != nullptr)
            Tss2_TctiLdr_Finalize(&tcti);
    }

    // A sealing key loaded under the primary, or ESYS_TR_NONE; rc says why not.
    ESYS_TR load(const KeyFile& key, TSS2_RC* rc) {
        ESYS_TR handle = ESYS_TR_NONE;
        *rc = Esys_Load(esys, primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                        &key.privatePart, &key.publicPart, &handle);
        return *rc == TSS2_RC_SUCCESS ? handle : ESYS_TR_NONE;
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
    availability_ = SealedKeyAvailability::Absent;
    // The TSS libraries log every failed open to standard error; a machine without a TPM is
    // ordinary, not an error.
    ::setenv("TSS2_LOG", "all+NONE", 0);
    auto tpm = std::make_unique<Tpm>();
    if (Tss2_TctiLdr_Initialize(tctiConfig_.toLocal8Bit().constData(), &tpm->tcti) !=
            TSS2_RC_SUCCESS ||
        Esys_Initialize(&tpm->esys, tpm->tcti, nullptr) != TSS2_RC_SUCCESS)
        return nullptr;
    // A TPM 2.0 says so in its family indicator ("2.0").
    const std::optional<UINT32> family = tpmProperty(tpm->esys, TPM2_PT_FAMILY_INDICATOR);
    if (family != 0x322E3000u) {
        if (family)
            availability_ = SealedKeyAvailability::Faulty;
        return nullptr;
    }
    // The storage primary key is made with the owner hierarchy's empty password; one that has
    // been given a password is told, rather than tried.
    const std::optional<UINT32> permanent = tpmProperty(tpm->esys, TPM2_PT_PERMANENT);
    if (permanent && (*permanent & TPMA_PERMANENT_OWNERAUTHSET) != 0) {
        availability_ = SealedKeyAvailability::OwnerPasswordSet;
        return nullptr;
    }

    const TPM2B_SENSITIVE_CREATE noSecret{};
    const TPM2B_PUBLIC primaryTemplate = storagePrimaryTemplate();
    const TPM2B_DATA noOutsideInfo{};
    const TPML_PCR_SELECTION noPcrs{};
    CreationOutputs outputs;
    const TSS2_RC created = Esys_CreatePrimary(
        tpm->esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &noSecret,
        &primaryTemplate, &noOutsideInfo, &noPcrs, &tpm->primary, &outputs.outPublic, &outputs.data,
        &outputs.hash, &outputs.ticket);
    TPM2B_NAME* name = nullptr;
    if (created == TSS2_RC_SUCCESS &&
        Esys_TR_GetName(tpm->esys, tpm->primary, &name) == TSS2_RC_SUCCESS && name != nullptr)
        tpm->primaryName = QByteArray(reinterpret_cast<const char*>(name->name), name->size);
    Esys_Free(name);
    if (created != TSS2_RC_SUCCESS || tpm->primaryName.isEmpty()) {
        if (created != TSS2_RC_SUCCESS)
            tpm->primary = ESYS_TR_NONE;
        if (isOutOfRoom(created))
            availability_ = SealedKeyAvailability::NoRoom;
        else if (isWrongAuthorisation(created))
            availability_ = SealedKeyAvailability::OwnerPasswordSet;
        else if (!isUnreachable(created))
            availability_ = SealedKeyAvailability::Faulty;
        return nullptr;
    }
    availability_ = SealedKeyAvailability::Usable;
    tpm_ = std::move(tpm);
    return tpm_.get();
}

SealedKeyResult TpmSealedKeyStore::lost() {
    qWarning("TpmSealedKeyStore: the TPM stopped answering (%s); it is looked for again at the "
             "next use.",
             qUtf8Printable(tctiConfig_));
    // Its handles are gone with the connection; nothing is flushed.
    if (tpm_) {
        tpm_->primary = ESYS_TR_NONE;
        tpm_.reset();
    }
    probed_ = false;
    availability_ = SealedKeyAvailability::Absent;
    return SealedKeyResult::Unreachable;
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

SealedKeyAvailability TpmSealedKeyStore::availability() {
    tpm();
    return availability_;
}

void TpmSealedKeyStore::retry() {
    if (tpm_ == nullptr)
        probed_ = false;
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
    const std::optional<crypto::SecureBuffer> pin =
        prompt_->askForPin(prompt, PinRequest::NewPin, PinTries{});
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
    TSS2_RC created = TSS2_RC_SUCCESS;
    {
        // The key's authorisation value is the command's first parameter: the session encrypts
        // it. The session is gone before the connection may be dropped below.
        SaltedSession session(tpm->esys, tpm->primary, TPMA_SESSION_DECRYPT);
        created = session.rc();
        if (session.ok()) {
            created =
                Esys_Create(tpm->esys, tpm->primary, session.handle(), ESYS_TR_NONE, ESYS_TR_NONE,
                            &sensitive, &keyTemplate, &noOutsideInfo, &noPcrs, &outPrivate,
                            &outputs.outPublic, &outputs.data, &outputs.hash, &outputs.ticket);
            if (created == TSS2_RC_SUCCESS)
                session.endedByTpm();
        }
    }
    crypto::secureWipe(&sensitive, sizeof(sensitive));
    KeyFile key;
    const bool made = created == TSS2_RC_SUCCESS && outPrivate != nullptr &&
                      outputs.outPublic != nullptr && isSealingKey(*outputs.outPublic);
    if (made) {
        key.privatePart = *outPrivate;
        key.publicPart = *outputs.outPublic;
        key.words = prompt;
        key.parentName = tpm->primaryName;
    }
    Esys_Free(outPrivate);
    if (isUnreachable(created))
        return lost();
    if (isBusy(created))
        return SealedKeyResult::Unreachable;
    if (!made || !writeKeyFile(path, key))
        return SealedKeyResult::Failed;
    return SealedKeyResult::Ok;
}

SealedKeyResult TpmSealedKeyStore::encrypt(const QString& name,
                                           const crypto::SecureBuffer& plaintext,
                                           QByteArray* ciphertext) {
    if (tpm() == nullptr)
        return SealedKeyResult::NoProvider;
    const QString path = keyPath(name);
    const std::optional<KeyFile> key = path.isEmpty() ? std::nullopt : readKeyFile(path);
    if (!key || ciphertext == nullptr)
        return SealedKeyResult::Failed;
    std::optional<QByteArray> sealed = sealToPublicPart(key->publicPart, plaintext);
    if (!sealed)
        return SealedKeyResult::Failed;
    *ciphertext = std::move(*sealed);
    return SealedKeyResult::Ok;
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
    // The sessions are salted by the primary key: one that is not the key's own parent (the TPM
    // was cleared, or something answers in its place) must not be handed the PIN's proof.
    if (!key->parentName.isEmpty() && key->parentName != tpm->primaryName) {
        qWarning("TpmSealedKeyStore: the TPM's storage primary key is not the one %s was made "
                 "under (the TPM was cleared or replaced, or something between Zelvora and the "
                 "TPM answers in its place); the key is not used.",
                 qUtf8Printable(name));
        return SealedKeyResult::Failed;
    }
    sealed.size = static_cast<UINT16>(ciphertext.size());
    std::memcpy(sealed.buffer, ciphertext.constData(), sealed.size);
    TSS2_RC rc = TSS2_RC_SUCCESS;
    const ESYS_TR handle = tpm->load(*key, &rc);
    if (handle == ESYS_TR_NONE)
        return isUnreachable(rc) ? lost()
               : isBusy(rc)      ? SealedKeyResult::Unreachable
                                 : SealedKeyResult::Failed;

    const TPMT_RSA_DECRYPT scheme = oaepScheme();
    const TPM2B_DATA noLabel{};
    // A lockout is no fault of the key: the user is told how long it lasts, and it ends as a
    // lockout, so that no one is sent to restore a key that is still there.
    if (inLockout(tpm->esys)) {
        prompt_->tellLockedOut(key->words, pinTries(tpm->esys));
        Esys_FlushContext(tpm->esys, handle);
        return SealedKeyResult::LockedOut;
    }
    SealedKeyResult result = SealedKeyResult::Failed;
    for (PinRequest request = PinRequest::Pin;;) {
        std::optional<crypto::SecureBuffer> pin =
            prompt_->askForPin(key->words, request, pinTries(tpm->esys));
        if (!pin) {
            result = SealedKeyResult::PromptCancelled;
            break;
        }
        TPM2B_AUTH auth = authFromPin(*pin);
        pin.reset();
        const TSS2_RC authorised = Esys_TR_SetAuth(tpm->esys, handle, &auth);
        wipeAuth(auth);
        // The PIN is proven with an HMAC instead of being sent, and the secret comes back
        // encrypted under the session key.
        SaltedSession session(tpm->esys, tpm->primary, TPMA_SESSION_ENCRYPT);
        if (authorised != TSS2_RC_SUCCESS || !session.ok()) {
            rc = authorised != TSS2_RC_SUCCESS ? authorised : session.rc();
            if (isBusy(rc))
                result = SealedKeyResult::Unreachable;
            break;
        }
        TPM2B_PUBLIC_KEY_RSA* opened = nullptr;
        rc = Esys_RSA_Decrypt(tpm->esys, handle, session.handle(), ESYS_TR_NONE, ESYS_TR_NONE,
                              &sealed, &scheme, &noLabel, &opened);
        if (rc == TSS2_RC_SUCCESS)
            session.endedByTpm();
        if (rc == TSS2_RC_SUCCESS && opened != nullptr) {
            *plaintext = crypto::SecureBuffer::copyOf(opened->buffer, opened->size);
            crypto::secureWipe(opened, sizeof(*opened));
            Esys_Free(opened);
            result = SealedKeyResult::Ok;
            break;
        }
        Esys_Free(opened);
        if (isLockedOut(rc) || (isWrongAuthorisation(rc) && inLockout(tpm->esys))) {
            prompt_->tellLockedOut(key->words, pinTries(tpm->esys));
            result = SealedKeyResult::LockedOut;
            break;
        }
        if (isBusy(rc)) {
            result = SealedKeyResult::Unreachable;
            break;
        }
        if (!isWrongAuthorisation(rc))
            break;
        request = PinRequest::WrongPin;
    }
    crypto::secureWipe(&sealed, sizeof(sealed));
    if (result != SealedKeyResult::Ok && isUnreachable(rc))
        return lost();
    // The library keeps the key's authorisation value with its handle: overwritten before the
    // handle goes.
    const TPM2B_AUTH noAuth{};
    Esys_TR_SetAuth(tpm->esys, handle, &noAuth);
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
