#include "support/PlatformDoubles.h"

#include "crypto/AeadCipher.h"

using korvex::crypto::AeadCipher;
using korvex::crypto::Bytes;
using korvex::crypto::SecureBuffer;
using korvex::platform::SealedKeyResult;

namespace korvex::test {

namespace {

Bytes bytesOf(const QByteArray& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}
QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}
SecureBuffer keyOf(const QByteArray& bytes) {
    return SecureBuffer::copyOf(bytes.constData(), bytes.size());
}

} // namespace

SealedKeyResult FakeSealedKeyStore::gate() {
    switch (mode) {
    case Mode::NoProvider:
        return SealedKeyResult::NoProvider;
    case Mode::Fails:
        return SealedKeyResult::Failed;
    case Mode::Cancels:
        ++prompts;
        return SealedKeyResult::PromptCancelled;
    case Mode::LocksOut:
        ++prompts;
        return SealedKeyResult::LockedOut;
    case Mode::Works:
        break;
    }
    return SealedKeyResult::Ok;
}

void FakeSealedKeyStore::plantKey(const QString& name) {
    const SecureBuffer key = AeadCipher::generateKey();
    keys_.insert(name,
                 QByteArray(reinterpret_cast<const char*>(key.data()), qsizetype(key.size())));
}

SealedKeyResult FakeSealedKeyStore::keyExists(const QString& name, bool* exists) {
    if (mode == Mode::NoProvider)
        return SealedKeyResult::NoProvider;
    *exists = keys_.contains(name);
    return SealedKeyResult::Ok;
}

SealedKeyResult FakeSealedKeyStore::createKey(const QString& name,
                                              const platform::SealedKeyPrompt& prompt) {
    lastPrompt = prompt;
    const SealedKeyResult result = gate();
    if (result != SealedKeyResult::Ok)
        return result;
    ++prompts;
    if (keys_.contains(name))
        return SealedKeyResult::Failed;
    plantKey(name);
    return SealedKeyResult::Ok;
}

SealedKeyResult FakeSealedKeyStore::encrypt(const QString& name, const SecureBuffer& plaintext,
                                            QByteArray* ciphertext) {
    if (mode == Mode::NoProvider)
        return SealedKeyResult::NoProvider;
    if (!keys_.contains(name))
        return SealedKeyResult::Failed;
    // Same length as a 2048-bit RSA ciphertext, so file sizes look real.
    QByteArray sealed = toQByteArray(AeadCipher::seal(keyOf(keys_.value(name)), plaintext, {}));
    sealed.append(QByteArray(256 - sealed.size(), '\0'));
    *ciphertext = sealed;
    return SealedKeyResult::Ok;
}

SealedKeyResult FakeSealedKeyStore::decrypt(const QString& name, const QByteArray& ciphertext,
                                            SecureBuffer* plaintext) {
    const SealedKeyResult result = gate();
    if (result != SealedKeyResult::Ok)
        return result;
    ++prompts;
    if (!keys_.contains(name) || ciphertext.size() != 256)
        return SealedKeyResult::Failed;
    const Bytes sealed = bytesOf(ciphertext.left(24 + 32 + 17));
    auto opened = AeadCipher::open(keyOf(keys_.value(name)), sealed, {});
    if (!opened)
        return SealedKeyResult::Failed;
    *plaintext = std::move(*opened);
    return SealedKeyResult::Ok;
}

SealedKeyResult FakeSealedKeyStore::deleteKey(const QString& name) {
    if (mode == Mode::NoProvider)
        return SealedKeyResult::NoProvider;
    keys_.remove(name);
    return SealedKeyResult::Ok;
}

FakeUserDataProtection::FakeUserDataProtection() : key_(AeadCipher::generateKey()) {}

std::optional<QByteArray> FakeUserDataProtection::protect(const SecureBuffer& data,
                                                          const QString& description,
                                                          const SecureBuffer* entropy) {
    lastFailure_ = refuse ? refusal : platform::UserProtectionFailure::None;
    if (refuse)
        return std::nullopt;
    Bytes ad = bytesOf(description.toUtf8());
    if (entropy)
        ad.insert(ad.end(), entropy->data(), entropy->data() + entropy->size());
    const QByteArray header = description.toUtf8();
    return QByteArray::number(header.size()) + ':' + header +
           toQByteArray(AeadCipher::seal(key_, data, ad));
}

std::optional<SecureBuffer> FakeUserDataProtection::unprotect(const QByteArray& blob,
                                                              const SecureBuffer* entropy) {
    lastFailure_ = refuse ? refusal : platform::UserProtectionFailure::Refused;
    if (refuse)
        return std::nullopt;
    const qsizetype colon = blob.indexOf(':');
    bool ok = false;
    const qsizetype length = colon > 0 ? blob.left(colon).toLongLong(&ok) : -1;
    if (!ok || length < 0 || colon + 1 + length > blob.size())
        return std::nullopt;
    Bytes ad = bytesOf(blob.mid(colon + 1, length));
    if (entropy)
        ad.insert(ad.end(), entropy->data(), entropy->data() + entropy->size());
    std::optional<SecureBuffer> opened =
        AeadCipher::open(key_, bytesOf(blob.mid(colon + 1 + length)), ad);
    if (opened)
        lastFailure_ = platform::UserProtectionFailure::None;
    return opened;
}

} // namespace korvex::test
