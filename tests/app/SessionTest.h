#pragma once

// What every suite that runs whole sessions of the program sets up: a data folder, a folder
// outside it for the user's own files, the account, two-factor and storage files the program
// keeps there, and one session at a time under a GUI script.

#include "GuiScript.h"
#include "SessionWindows.h"
#include "app/SessionRunner.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ManualClock.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace korvex::test {

class SessionTest : public QObject {
protected:
    // The folders and the files' managers for machineId; false when the folders cannot be made.
    bool makeSession(const QString& machineId) {
        if (!root_.isValid())
            return false;
        machineId_ = machineId;
        data_ = root_.filePath(QStringLiteral("data/Zelvora"));
        outside_ = root_.filePath(QStringLiteral("outside"));
        if (!QDir().mkpath(data_) || !QDir().mkpath(outside_))
            return false;
        auth_ = std::make_unique<core::AuthManager>(
            data_ + QStringLiteral("/identity.dat"), clock_,
            core::createSettingsFloorStore(root_.filePath(QStringLiteral("floor.conf"))));
        twoFactor_ = std::make_unique<core::TwoFactorManager>(
            data_ + QStringLiteral("/twofactor.dat"), clock_);
        storage_ = std::make_unique<core::StorageConfigFile>(data_ + QStringLiteral("/storage.dat"),
                                                             machineId_, 0);
        QApplication::setQuitOnLastWindowClosed(false);
        return true;
    }

    // The real per-user protection and no TPM: with no session bus, the user key file in HOME.
    void useSoftwareProtection() {
        userProtection_ = platform::createUserDataProtection();
        protect::setLocalProtectionServices(&noTpm_, userProtection_.get());
    }

    app::SessionInputs inputs() {
        return app::SessionInputs{*auth_,
                                  *twoFactor_,
                                  *storage_,
                                  data_ + QStringLiteral("/idlelock.dat"),
                                  data_ + QStringLiteral("/vault_generation.dat"),
                                  data_,
                                  machineId_};
    }

    // One session under script; a step the script did not reach is told, with context().
    int run(GuiScript& script) {
        script.start();
        const int result = app::runSession(inputs());
        if (!script.failure().isEmpty())
            qWarning("%s%s", qPrintable(script.failure()), qPrintable(context()));
        return result;
    }
    // A first run: the account is created, and one document imported from outside_ as name.
    bool firstRunWithDocument(const QString& user, const QString& password, const QString& name,
                              const QByteArray& content) {
        GuiScript first;
        createAccount(first, user, password);
        first.add(QStringLiteral("import the document"), mainWindowReady, [&] {
            const QString source = outside_ + QLatin1Char('/') + name;
            QVERIFY(writeFile(source, content));
            QVERIFY(mainWindow()->container()->importFile(source, name));
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        return run(first) == 0 && first.finished();
    }

    // The start after a deletion was scheduled: the password confirms it, and the first-run
    // wizard that follows (the account is gone) is closed. True when that wizard came.
    bool startAfterDeletion(const QString& password) {
        GuiScript next;
        answerText(next, QStringLiteral("confirm the deletion"), password);
        bool firstRun = false;
        next.onModal<FirstRunWizard>(QStringLiteral("starting over"),
                                     [&firstRun](FirstRunWizard* wizard) {
                                         firstRun = true;
                                         wizard->reject();
                                     });
        return run(next) == 0 && next.finished() && firstRun;
    }

    // More to tell about a failed script.
    virtual QString context() { return QString(); }

    QTemporaryDir root_;
    QString data_;
    QString outside_;
    ManualClock clock_{QDateTime::currentDateTimeUtc()};
    std::unique_ptr<core::AuthManager> auth_;
    std::unique_ptr<core::TwoFactorManager> twoFactor_;
    std::unique_ptr<core::StorageConfigFile> storage_;

private:
    QString machineId_;
    platform::NoSealedKeyStore noTpm_;
    std::unique_ptr<platform::IUserDataProtection> userProtection_;
};

} // namespace korvex::test
