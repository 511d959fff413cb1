#include "app/StorageCheck.h"

#include "app/DataFolder.h"
#include "core/StorageConfigFile.h"
#include "protect/LocalIntegrityKey.h"
#include "ui/ChoiceBox.h"
#include "ui/RecoveryCodeRestore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

namespace korvex::app {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("StorageCheck", text);
}

} // namespace

bool restoreIsPossible(const QString& storageKeyPath, const QString& identityPath) {
    using protect::LocalIntegrityKey;
    return LocalIntegrityKey::isTpmKeyFile(storageKeyPath) &&
           LocalIntegrityKey::isHardwareKeyLost(storageKeyPath) &&
           QFileInfo::exists(identityPath) &&
           LocalIntegrityKey::isTpmKeyFile(identityPath + QStringLiteral(".key"));
}

bool offerRestore(const QString& title, const QString& text, const QString& identityKeyPath) {
    for (;;) {
        if (!ui::chooseToGoOn({QMessageBox::Critical, title, text,
                               tr("Restore From Recovery Code..."), "restoreOfferMessage",
                               "restoreOfferButton"}))
            return false;
        if (ui::restoreFromRecoveryCodeDialog(nullptr, identityKeyPath) ==
            ui::RestoreOutcome::Restored)
            return true;
    }
}

bool loadSessionStorage(core::StorageConfigFile& storage, const QString& identityPath,
                        core::StorageConfig* config) {
    using protect::LocalIntegrityKey;
    const QString keyPath = storage.path() + QStringLiteral(".key");
    for (;;) {
        if (storage.load(config) || !QFileInfo::exists(storage.path()))
            return true;
        protect::KeyLoadFailure failure = protect::KeyLoadFailure::None;
        if (LocalIntegrityKey::loadKey(keyPath, &failure).empty() &&
            protect::isTemporaryKeyFailure(failure)) {
            if (!ui::chooseToGoOn({QMessageBox::Warning, storageConfigRefusalTitle(),
                                   storageConfigRefusalMessage(keyPath, RefusalContext::Session),
                                   tr("Try Again"), "storageRetryMessage", "storageRetryButton"}))
                return false;
            // Trying again is the user's answer to a dismissed prompt: it may ask once more.
            LocalIntegrityKey::allowPromptsAgain();
            continue;
        }
        if (restoreIsPossible(keyPath, identityPath)) {
            if (!offerRestore(
                    storageConfigRefusalTitle(),
                    storageConfigRefusalMessage(keyPath, RefusalContext::StartWithRestore),
                    identityPath + QStringLiteral(".key")))
                return false;
            continue;
        }
        QMessageBox::critical(nullptr, storageConfigRefusalTitle(),
                              storageConfigRefusalMessage(keyPath));
        return false;
    }
}

} // namespace korvex::app
