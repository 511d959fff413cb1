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
#include "ui/RecoveryCodeDialog.h"
#include "ui/TpmPinDialog.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
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
    // asked ("new" or "use").
    QTimer pinAnswers_;
    QString pin_ = QStringLiteral("2468");
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

        pinAnswers_.setInterval(25);
        connect(&pinAnswers_, &QTimer::timeout, this, [this] {
            auto* dialog = qobject_cast<ui::TpmPinDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible() || dialog->property("answered").toBool())
                return;
            dialog->setProperty("answered", true);
            auto* confirm = child<QLineEdit>(dialog, "tpmPinConfirmField");
            pinsAsked_ << (confirm ? QStringLiteral("new") : QStringLiteral("use"));
            child<QLineEdit>(dialog, "tpmPinField")->setText(pin_);
            if (confirm)
                confirm->setText(pin_);
            GuiScript::clickLater(child<QPushButton>(dialog, "tpmPinOkButton"));
        });
        pinAnswers_.start();
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
        script.add(QStringLiteral("open Configure"), mainWindowReady, [] {
            QAction* configure =
                mainWindow()->findChild<QAction*>(QStringLiteral("configureAction"));
            GuiScript::later([configure] { configure->trigger(); });
        });
        script.onModal<ConfigureDialog>(
            QStringLiteral("local security"), [this](ConfigureDialog* dialog) {
                seen_ << child<QLabel>(dialog, "localSecurityStatusLabel")
                             ->text()
                             .section(QLatin1Char(':'), 0, 0);
                auto* show = child<QPushButton>(dialog, "showRecoveryCodeButton");
                // The button sits on a tab of its own; it is hidden only when not offered.
                seen_ << (show->isHidden() ? QStringLiteral("button hidden")
                                           : QStringLiteral("button shown"));
                GuiScript::clickLater(show);
            });
        script.onModal<QInputDialog>(QStringLiteral("the password"), [](QInputDialog* prompt) {
            prompt->setTextValue(kPassword);
            GuiScript::later([prompt] { prompt->accept(); });
        });
        script.onModal<RecoveryCodeDialog>(
            QStringLiteral("the code"), [this](RecoveryCodeDialog* dialog) {
                const QString text = child<QLabel>(dialog, "recoveryCodeLabel")->text();
                // Thirteen groups of four, without padding.
                const QRegularExpression code(
                    QStringLiteral("\\n\\n((?:[A-Z2-7]{4}-){12}[A-Z2-7]{4})\\n\\n"));
                code_ = code.match(text).captured(1);
                GuiScript::later([dialog] { dialog->accept(); });
            });
        script.add(
            QStringLiteral("close Configure"),
            [] { return qobject_cast<ConfigureDialog*>(QApplication::activeModalWidget()); },
            [] {
                auto* dialog = qobject_cast<ConfigureDialog*>(QApplication::activeModalWidget());
                GuiScript::later([dialog] { dialog->reject(); });
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

    // The TPM is cleared: sign-in says the hardware key is lost and offers the restore; the code
    // reseals the root under a new key with a new PIN, and the account and the vault open.
    void aClearedTpmIsSurvivedWithTheRecoveryCode() {
        QVERIFY(!code_.isEmpty());
        QVERIFY2(tpm_->clear(), qPrintable(tpm_->failure()));
        startProgram();
        pinsAsked_.clear();
        seen_.clear();
        pin_ = QStringLiteral("97531");
        GuiScript script;
        test::signInWith(script, QStringLiteral("sign in"), kPassword);
        script.onModal<LoginDialog>(
            QStringLiteral("the hardware key is lost"),
            [this](LoginDialog* login) {
                seen_ << child<QLabel>(login, "loginErrorLabel")
                             ->text()
                             .section(QLatin1Char('.'), 0, 0);
                GuiScript::clickLater(child<QPushButton>(login, "restoreRecoveryCodeButton"));
            },
            [](LoginDialog* login) {
                return child<QPushButton>(login, "restoreRecoveryCodeButton")->isVisibleTo(login);
            });
        script.onModal<QInputDialog>(QStringLiteral("the code"), [this](QInputDialog* prompt) {
            prompt->setTextValue(code_);
            GuiScript::later([prompt] { prompt->accept(); });
        });
        script.onModal<QMessageBox>(QStringLiteral("restored"), [this](QMessageBox* box) {
            seen_ << box->text();
            GuiScript::clickLater(box->button(QMessageBox::Ok));
        });
        test::signInWith(script, QStringLiteral("sign in again"), kPassword);
        closeWindow(script);
        QCOMPARE(run(script), 0);
        QVERIFY2(script.finished(), qPrintable(script.nextStep()));
        QCOMPARE(seen_,
                 (QStringList{QStringLiteral("Zelvora could not obtain the hardware security key "
                                             "that protects your account file on this device -- "
                                             "most likely your PC's TPM was reset or cleared, or "
                                             "this data was moved from a different computer"),
                              QStringLiteral("Restored. Enter your master password and select "
                                             "Unlock to continue."),
                              QStringLiteral("document intact")}));
        QCOMPARE(pinsAsked_, QStringList{QStringLiteral("new")});
    }
};

QTEST_MAIN(TestTpmSession)
#include "tst_tpmsession.moc"
