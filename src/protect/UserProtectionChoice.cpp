#include "protect/UserProtectionChoice.h"

#include "platform/UserKeyFileProtection.h"
#include "protect/AtomicFile.h"

#include <QDir>
#include <QFileInfo>

namespace korvex::protect {

namespace {

using platform::UserProtectionKind;

const QByteArray kTpmText = QByteArrayLiteral("tpm");
const QByteArray kKeyringText = QByteArrayLiteral("keyring");
const QByteArray kKeyFileText = QByteArrayLiteral("keyfile");
constexpr qint64 kMaxRecordBytes = 64;
constexpr qint64 kMaxBlobBytes = 64 * 1024;

// A protected blob of the user's from the folder: the entropy file of a software-form key (each
// key file has one, protected without entropy of its own), the account's first: in a folder
// where an older version left keys of both kinds, the account's kind is the one that counts.
std::optional<QByteArray> someUserBlobIn(const QString& folder) {
    QStringList paths{folder + QStringLiteral("/identity.dat.key.entropy")};
    const QFileInfoList entropyFiles =
        QDir(folder).entryInfoList({QStringLiteral("*.key.entropy")},
                                   QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QFileInfo& entry : entropyFiles)
        paths << entry.absoluteFilePath();
    for (const QString& path : std::as_const(paths)) {
        std::optional<QByteArray> blob = readSmallFile(path, kMaxBlobBytes);
        if (blob && platform::WrappedUserDataProtection::isWellFormed(*blob))
            return blob;
    }
    return std::nullopt;
}

QString kindName(UserProtectionKind kind) {
    return kind == UserProtectionKind::Keyring ? QStringLiteral("the desktop keyring")
                                               : QStringLiteral("the user key file");
}

} // namespace

QString userProtectionRecordIn(const QString& folder) {
    return folder + QStringLiteral("/key_protection.txt");
}

std::optional<FolderProtection> recordedProtection(const QString& folder) {
    const std::optional<QByteArray> text =
        readSmallFile(userProtectionRecordIn(folder), kMaxRecordBytes);
    if (!text)
        return std::nullopt;
    const QByteArray word = text->trimmed();
    if (word == kTpmText)
        return FolderProtection::Tpm;
    if (word == kKeyringText)
        return FolderProtection::Keyring;
    if (word == kKeyFileText)
        return FolderProtection::UserKeyFile;
    qWarning("selectUserProtection: %s does not name a protection; it is chosen again.",
             qUtf8Printable(userProtectionRecordIn(folder)));
    return std::nullopt;
}

bool recordProtection(const QString& folder, FolderProtection protection) {
    const QByteArray word = protection == FolderProtection::Tpm       ? kTpmText
                            : protection == FolderProtection::Keyring ? kKeyringText
                                                                      : kKeyFileText;
    return writeFileAtomically(userProtectionRecordIn(folder), word + '\n');
}

std::optional<UserProtectionKind> recordedUserProtection(const QString& folder) {
    switch (recordedProtection(folder).value_or(FolderProtection::Tpm)) {
    case FolderProtection::Keyring:
        return UserProtectionKind::Keyring;
    case FolderProtection::UserKeyFile:
        return UserProtectionKind::UserKeyFile;
    case FolderProtection::Tpm:
        break;
    }
    return std::nullopt;
}

bool recordUserProtection(const QString& folder, UserProtectionKind kind) {
    return recordProtection(folder, kind == UserProtectionKind::Keyring
                                        ? FolderProtection::Keyring
                                        : FolderProtection::UserKeyFile);
}

std::unique_ptr<platform::IUserDataProtection>
selectUserProtection(const QString& folder, const std::function<bool()>& keyringAvailable,
                     const UserProtectionFactory& create) {
    const std::optional<FolderProtection> recorded = recordedProtection(folder);
    // The record names the TPM: software-form keys an older version may have left beside its
    // keys are told by what opens them, and the record stays.
    const bool mayRecord = recorded != FolderProtection::Tpm;
    if (recorded == FolderProtection::Keyring)
        return create(UserProtectionKind::Keyring);
    if (recorded == FolderProtection::UserKeyFile)
        return create(UserProtectionKind::UserKeyFile);

    const auto choose = [&](UserProtectionKind kind, const char* why) {
        qInfo("selectUserProtection: the settings keys of %s are protected by %s (%s).",
              qUtf8Printable(folder), qUtf8Printable(kindName(kind)), why);
        if (mayRecord && !recordUserProtection(folder, kind))
            qWarning("selectUserProtection: could not record the choice in %s; it is made again at "
                     "the next start.",
                     qUtf8Printable(userProtectionRecordIn(folder)));
        return create(kind);
    };

    const std::optional<QByteArray> blob = someUserBlobIn(folder);
    if (!blob && !mayRecord)
        // The TPM's folder, with no key of the user's protection: none is made here.
        return create(keyringAvailable() ? UserProtectionKind::Keyring
                                         : UserProtectionKind::UserKeyFile);
    if (!blob) {
        // Nothing is recorded yet: the kind counts once a key of it exists, so that a first
        // start in a session without a keyring (a remote shell) does not bind the folder to the
        // key file for good, nor a keyring that cannot store a key to the keyring.
        const UserProtectionKind kind =
            keyringAvailable() ? UserProtectionKind::Keyring : UserProtectionKind::UserKeyFile;
        qInfo("selectUserProtection: %s has no settings keys yet; new ones are protected by %s.",
              qUtf8Printable(folder), qUtf8Printable(kindName(kind)));
        return create(kind);
    }

    // Keys from before the choice was recorded: the kind that opens them is theirs.
    std::unique_ptr<platform::IUserDataProtection> keyFile =
        create(UserProtectionKind::UserKeyFile);
    if (keyFile->unprotect(*blob, nullptr))
        return choose(UserProtectionKind::UserKeyFile, "it opens the existing keys");
    const bool keyring = keyringAvailable();
    if (keyring) {
        std::unique_ptr<platform::IUserDataProtection> secretService =
            create(UserProtectionKind::Keyring);
        if (secretService->unprotect(*blob, nullptr))
            return choose(UserProtectionKind::Keyring, "it opens the existing keys");
    }
    // Neither opens them now. A key file that loads but does not open them is not theirs; one
    // that is there but refused (its permissions changed, say) may well be: its own failure
    // then says what is wrong. Otherwise they were made with a keyring, which is locked or not
    // running now (or a key file that is gone, which nothing can bring back).
    const auto* userKeyFile =
        dynamic_cast<const platform::UserKeyFileDataProtection*>(keyFile.get());
    const bool keyFileRefused =
        userKeyFile && QFileInfo(userKeyFile->keyFilePath()).exists() &&
        keyFile->lastFailure() == platform::UserProtectionFailure::Unavailable;
    const UserProtectionKind likely =
        keyFileRefused ? UserProtectionKind::UserKeyFile : UserProtectionKind::Keyring;
    qWarning("selectUserProtection: the existing settings keys of %s do not open now; %s is used "
             "for this run and nothing is recorded.",
             qUtf8Printable(folder), qUtf8Printable(kindName(likely)));
    return likely == UserProtectionKind::UserKeyFile ? std::move(keyFile)
                                                     : create(UserProtectionKind::Keyring);
}

} // namespace korvex::protect
