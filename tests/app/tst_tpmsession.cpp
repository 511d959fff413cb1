// The program on a machine with a TPM 2.0 (a real software TPM), as a user meets it: the first
// run seals the account under a TPM key whose PIN the user chooses; Configure says the files
// are TPM-protected and shows the recovery code after the master password; the TPM is then
// cleared, the next sign-in says the hardware key is lost, and the recovery code (resealed
// under a new key with a new PIN) opens the account and the vault again.

#include "GuiScript.h"
#include "SessionTest.h"
#include "SessionWindows.h"
#include "app/SessionRunner.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/StorageConfigFile.h"
#include "core/TwoFactorManager.h"
#include "platform/TpmSealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"
#include "ui/ConfigureDialog.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TpmPinDialog.h"
#include "vault/VaultContainer.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;
using test::child;
using test::GuiScript;
using test::mainWindow;
using test::mainWindowReady;

namespace {

const QString kUser = QStringLiteral("dana");
const QString kPassword = QStringLiteral("Correct-Horse-42!");
const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");
const QByteArray kDocument("sealed by the TPM, and back again\n");

} // namespace

class TestTpmSession : public test::SessionTest {
    Q_OBJECT

    std::unique_ptr<test::SoftwareTpm> tpm_;
    ui::TpmPinPrompt pinPrompt_;
    std::unique_ptr<platform::TpmSealedKeyStore> store_;
    test::FakeUserDataProtection user_;
    // Answers every PIN prompt as it comes up, whatever step the script is at; records what was
    // asked ("new", "use" or "cancelled").
    QTimer pinAnswers_;
    QString pin_ = QStringLiteral("2468");
    // How many of the next PIN prompts are dismissed with Cancel.
    int cancelPins_ = 0;
    QStringList pinsAsked_;
    QString code_;
    QStringList seen_;

    // The TPM store as a start of the program makes it, on the TPM as it now is.
    void startProgram() {
        store_ = std::make_unique<platform::TpmSealedKeyStore>(
            tpm_->tcti(), root_.filePath(QStringLiteral("tpm-keys")), &pinPrompt_);
        QVERIFY(store_->hasProvider());
        protect::setLocalProtectionServices(store_.get(), &user_);
        protect::LocalIntegrityKey::clearRootCache();
    }

    void closeWindow(GuiScript& script) {
        script.add(QStringLiteral("read the document and close"), mainWindowReady, [this] {
            seen_ << test::documentState(QStringLiteral("doc.txt"), kDocument);
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
    }

private Q_SLOTS:
    void initTestCase() {
        tpm_ = std::make_unique<test::SoftwareTpm>();
        if (!tpm_->isRunning())
            QSKIP(qPrintable(tpm_->failure()));
        QVERIFY(makeSession(kMachine));
        startProgram();

        test::answerPinPrompts(
            pinAnswers_, [this] { return pin_; },
            [this](const QString& what) { pinsAsked_ << what; },
            [this] {
                if (cancelPins_ == 0)
                    return false;
                --cancelPins_;
                return true;
            });
    }
    void cleanupTestCase() {
        pinAnswers_.stop();
        protect::setLocalProtectionServices(nullptr, nullptr);
        protect::LocalIntegrityKey::clearRootCache();
    }

    // The first run creates the account TPM-sealed: the user chooses the key's PIN once.
    void theFirstRunSealsTheAccountInTheTpm() {
        GuiScript first;
        test::createAccount(first, kUser, kPassword);
        first.add(QStringLiteral("import the document"), mainWindowReady, [this] {
            const QString source = outside_ + QStringLiteral("/doc.txt");
            QVERIFY(test::writeFile(source, kDocument));
            QVERIFY(mainWindow()->container()->importFile(source, QStringLiteral("doc.txt")));
        });
        closeWindow(first);
        QCOMPARE(run(first), 0);
        QVERIFY2(first.finished(), qPrintable(first.nextStep()));
        QCOMPARE(pinsAsked_, QStringList{QStringLiteral("new")});
        const QByteArray keyFile = test::readWholeFile(data_ + QStringLiteral("/identity.dat.key"));
        QCOMPARE(keyFile.size(), protect::kTpmKeyFileBytes);
        QVERIFY(keyFile.startsWith("KVXTPMK2"));
        QVERIFY(QFile::exists(data_ + QStringLiteral("/local_integrity_root.dat")));
    }

    // A later start asks for the PIN once; Configure says TPM-protected and shows the recovery
    // code after the master password.
    void configureShowsTheRecoveryCode() {
        startProgram();
        pinsAsked_.clear();
        seen_.clear();
        GuiScript script;
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        test::showRecoveryCode(
            script, kPassword, [this](const QString& code) { code_ = code; },
            [this](ConfigureDialog* dialog) {
                seen_ << child<QLabel>(dialog, "localSecurityStatusLabel")
                             ->text()
                             .section(QLatin1Char(':'), 0, 0);
                // The button sits on a tab of its own; it is hidden only when not offered.
                seen_ << (child<QPushButton>(dialog, "showRecoveryCodeButton")->isHidden()
                              ? QStringLiteral("button hidden")
                              : QStringLiteral("button shown"));
            });
        closeWindow(script);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_,
                 (QStringList{QStringLiteral("TPM-protected"), QStringLiteral("button shown"),
                              QStringLiteral("document intact")}));
        QCOMPARE(code_.size(), 64);
        QCOMPARE(pinsAsked_, QStringList{QStringLiteral("use")});
    }

    // The PIN prompt at the start of a session is dismissed: the session does not go on without
    // the settings it guards (they say where the vault is, here a folder of the user's choosing),
    // and says so; Try Again asks for the PIN again, and the session opens on the vault where it
    // is.
    void aDismissedPinPromptIsAskedAgain() {
        const QString chosen = outside_ + QStringLiteral("/chosen");
        QVERIFY(QDir().mkpath(chosen));
        QVERIFY(QFile::rename(data_ + QStringLiteral("/vault.kvxs"),
                              chosen + QStringLiteral("/vault.kvxs")));
        core::ContainerSettings settings = storage_->containerSettings();
        settings.overrideDirectory = chosen;
        QVERIFY(storage_->setContainerSettings(settings));

        startProgram();
        pinsAsked_.clear();
        seen_.clear();
        cancelPins_ = 1;
        GuiScript script;
        script.onModal<QMessageBox>(QStringLiteral("try again"), [this](QMessageBox* box) {
            seen_ << box->text().section(QLatin1Char(','), 0, 0);
            GuiScript::clickLater(child<QPushButton>(box, "storageRetryButton"));
        });
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        closeWindow(script);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_, (QStringList{QStringLiteral("The PIN prompt for the TPM key that protects "
                                                    "Zelvora's settings was cancelled"),
                                     QStringLiteral("document intact")}));
        QCOMPARE(pinsAsked_, (QStringList{QStringLiteral("cancelled"), QStringLiteral("use")}));
    }

    // The TPM is cleared: the session's start says the hardware key is lost and offers the
    // restore; the code reseals the root under a new key with a new PIN, and the account and the
    // vault (in the folder of the user's choosing) open.
    void aClearedTpmIsSurvivedWithTheRecoveryCode() {
        QVERIFY(!code_.isEmpty());
        QVERIFY2(tpm_->clear(), qPrintable(tpm_->failure()));
        startProgram();
        pinsAsked_.clear();
        seen_.clear();
        pin_ = QStringLiteral("97531");
        GuiScript script;
        script.onModal<QMessageBox>(
            QStringLiteral("the hardware key is lost"), [this](QMessageBox* box) {
                seen_ << box->text().section(QLatin1Char('.'), 0, 0);
                GuiScript::clickLater(child<QPushButton>(box, "restoreOfferButton"));
            });
        script.onModal<QInputDialog>(QStringLiteral("the code"), [this](QInputDialog* prompt) {
            // A copy of its own: the prompt zeroes the text its field held.
            prompt->setTextValue(QString(code_.constData(), code_.size()));
            GuiScript::later([prompt] { prompt->accept(); });
        });
        script.onModal<QMessageBox>(QStringLiteral("restored"), [this](QMessageBox* box) {
            seen_ << box->text();
            GuiScript::clickLater(box->button(QMessageBox::Ok));
        });
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        closeWindow(script);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_,
                 (QStringList{QStringLiteral("Zelvora could not obtain the hardware security key "
                                             "that protects its storage configuration on this "
                                             "device -- most likely your PC's TPM was reset or "
                                             "cleared, or this data was moved from a different "
                                             "computer"),
                              QStringLiteral("Restored. Enter your master password and select "
                                             "Unlock to continue."),
                              QStringLiteral("document intact")}));
        QCOMPARE(pinsAsked_, QStringList{QStringLiteral("new")});
    }

    // Wrong PINs until the TPM locks the key: the prompt says how many tries are left, the
    // lockout is told with how long it lasts, and the session's start says the key is locked,
    // never that a prompt was cancelled or that anything is lost.
    void aLockoutIsToldAsALockout() {
        QVERIFY(tpm_->setLockoutPolicy(2, 600));
        startProgram();
        pinsAsked_.clear();
        seen_.clear();
        QString triesLeft;
        pinAnswers_.stop();
        GuiScript script;
        script.onModal<ui::TpmPinDialog>(QStringLiteral("a wrong PIN"), [](ui::TpmPinDialog* d) {
            child<QLineEdit>(d, "tpmPinField")->setText(QStringLiteral("0000"));
            GuiScript::clickLater(child<QPushButton>(d, "tpmPinOkButton"));
        });
        script.onModal<ui::TpmPinDialog>(
            QStringLiteral("another wrong PIN"),
            [&triesLeft](ui::TpmPinDialog* d) {
                triesLeft = child<QLabel>(d, "tpmPinMessage")->text();
                child<QLineEdit>(d, "tpmPinField")->setText(QStringLiteral("1111"));
                GuiScript::clickLater(child<QPushButton>(d, "tpmPinOkButton"));
            },
            [](ui::TpmPinDialog* d) {
                return !child<QLabel>(d, "tpmPinMessage")->text().isEmpty();
            });
        script.onModal<QMessageBox>(QStringLiteral("locked out"), [this](QMessageBox* box) {
            seen_ << box->text();
            GuiScript::clickLater(box->button(QMessageBox::Ok));
        });
        script.onModal<QMessageBox>(QStringLiteral("the session cannot go on"),
                                    [this](QMessageBox* box) {
                                        seen_ << box->text().section(QLatin1Char(','), 0, 0);
                                        box->reject();
                                    });
        QCOMPARE(run(script), 0);
        pinAnswers_.start();
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(triesLeft, QStringLiteral("That PIN is not right. This is the last try: one more "
                                           "wrong PIN locks the key for about 10 minutes."));
        QCOMPARE(seen_,
                 (QStringList{QStringLiteral("The TPM has locked this key after too many wrong "
                                             "PINs. It takes a PIN again in about 10 minutes; "
                                             "wait until then, and try again. This is not a wrong "
                                             "master password."),
                              QStringLiteral("The TPM has locked the key that protects Zelvora's "
                                             "settings after too many wrong PINs")}));
    }
};

QTEST_MAIN(TestTpmSession)
#include "tst_tpmsession.moc"
