// A whole life of the program, driven through its real dialogs and windows: first run, imports
// with a name clash, export, sign-out, a wrong and a right password, two-factor sign-in.

#include "GuiScript.h"
#include "SessionTest.h"
#include "SessionWindows.h"
#include "app/SessionRunner.h"
#include "core/AuthManager.h"
#include "core/LockoutTracker.h"
#include "core/PasswordPolicy.h"
#include "core/StorageConfigFile.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/Base32.h"
#include "platform/PrivateSessionBus.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserDataProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ManualClock.h"
#include "support/TestSupport.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "ui/TwoFactorPromptDialog.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace korvex;
using test::child;
using test::GuiScript;
using test::mainWindow;
using test::mainWindowReady;

namespace {

const QString kUser = QStringLiteral("alice");
const QString kPassword = QStringLiteral("Correct-Horse-42!");
const QString kMachine = QStringLiteral("0123456789abcdef0123456789abcdef");

// Picks path in Qt's own file dialog and accepts it. While the name field has the focus,
// selectFile() leaves it alone, so the path is typed in as a user would.
void choose(QFileDialog* dialog, const QString& path) {
    dialog->selectFile(path);
    if (!dialog->selectedFiles().contains(path))
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
    static_cast<QDialog*>(dialog)->accept();
}

QString statusText() {
    MainWindow* window = mainWindow();
    auto* label = window ? child<QLabel>(window, "vaultStatusLabel") : nullptr;
    return label ? label->text() : QString();
}

QStringList tableNames() {
    QStringList names;
    auto* table = child<QTableWidget>(mainWindow(), "vaultTable");
    for (int row = 0; row < table->rowCount(); ++row)
        names << table->item(row, 0)->text();
    names.sort();
    return names;
}

} // namespace

class TestSession : public test::SessionTest {
    Q_OBJECT

    QStringList seen_;
    std::optional<crypto::SecureBuffer> twoFactorSecret_;

    QString context() override {
        return QStringLiteral("; status line: ") + statusText();
    }

    QString codeAt(const crypto::SecureBuffer& secret, qint64 step) {
        return core::hotp({secret.data(), secret.size()}, quint64(step), core::kTotpDigits);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(makeSession(kMachine));
        useSoftwareProtection();
    }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void wholeLife() {
        const QString original = outside_ + QStringLiteral("/doc.txt");
        const QByteArray first("first document\n");
        const QByteArray second("second document, same name\n");
        const QString exported = outside_ + QStringLiteral("/exported.txt");

        // First run: the policy and the confirmation are checked before the account exists.
        GuiScript firstSession;
        firstSession.onModal<FirstRunWizard>(
            QStringLiteral("create the account"), [this](FirstRunWizard* wizard) {
                auto* name = child<QLineEdit>(wizard, "firstRunUsernameEdit");
                auto* password = child<QLineEdit>(wizard, "firstRunPasswordEdit");
                auto* confirm = child<QLineEdit>(wizard, "firstRunConfirmEdit");
                auto* error = child<QLabel>(wizard, "firstRunErrorLabel");
                auto* create = child<QPushButton>(wizard, "firstRunCreateButton");
                name->setText(QStringLiteral("  ") + kUser + QStringLiteral("  "));
                password->setText(QStringLiteral("short"));
                confirm->setText(QStringLiteral("short"));
                create->click();
                seen_ << error->text();
                password->setText(kPassword);
                confirm->setText(kPassword + QStringLiteral("x"));
                create->click();
                seen_ << error->text();
                confirm->setText(kPassword);
                create->click();
            });
        firstSession.add(QStringLiteral("import a file"), mainWindowReady, [&] {
            QVERIFY(test::writeFile(original, first));
            GuiScript::clickLater(child<QPushButton>(mainWindow(), "importButton"));
        });
        firstSession.onModal<QFileDialog>(QStringLiteral("choose the file"),
                                          [&](QFileDialog* dialog) { choose(dialog, original); });
        firstSession.add(
            QStringLiteral("imported; import another file of the same name"),
            [] { return mainWindowReady() && statusText().startsWith(QStringLiteral("Imported")); },
            [&] {
                seen_ << statusText();
                seen_ << (QFile::exists(original) ? QStringLiteral("original kept")
                                                  : QStringLiteral("original gone"));
                QVERIFY(test::writeFile(original, second));
                GuiScript::clickLater(child<QPushButton>(mainWindow(), "importButton"));
            });
        firstSession.onModal<QFileDialog>(QStringLiteral("choose it again"),
                                          [&](QFileDialog* dialog) { choose(dialog, original); });
        firstSession.onModal<QMessageBox>(QStringLiteral("add as a copy"), [](QMessageBox* box) {
            child<QAbstractButton>(box, "importConflictCopyButton")->click();
        });
        firstSession.add(
            QStringLiteral("copy imported; export the first"),
            [] { return mainWindowReady() && statusText().contains(QStringLiteral("doc_1.txt")); },
            [&] {
                seen_ << tableNames().join(QLatin1Char(','));
                auto* table = child<QTableWidget>(mainWindow(), "vaultTable");
                const QList<QTableWidgetItem*> found =
                    table->findItems(QStringLiteral("doc.txt"), Qt::MatchExactly);
                QCOMPARE(found.size(), 1);
                table->selectRow(found.first()->row());
                GuiScript::clickLater(child<QPushButton>(mainWindow(), "exportButton"));
            });
        firstSession.onModal<QFileDialog>(QStringLiteral("export destination"),
                                          [&](QFileDialog* dialog) { choose(dialog, exported); });
        firstSession.add(
            QStringLiteral("exported; sign out"),
            [] { return mainWindowReady() && statusText().startsWith(QStringLiteral("Exported")); },
            [&] {
                seen_ << (test::readWholeFile(exported) == first
                              ? QStringLiteral("export matches")
                              : QStringLiteral("export differs"));
                QAction* signOut =
                    mainWindow()->findChild<QAction*>(QStringLiteral("signOutAction"));
                GuiScript::later([signOut] { signOut->trigger(); });
            });
        firstSession.onModal<QMessageBox>(QStringLiteral("confirm sign-out"), [](QMessageBox* box) {
            box->button(QMessageBox::Yes)->click();
        });

        QCOMPARE(run(firstSession), 1);
        QVERIFY2(firstSession.finished(), qPrintable(firstSession.nextStep()));
        QCOMPARE(
            seen_,
            QStringList({core::passwordPolicyViolation(QStringLiteral("short")),
                         QStringLiteral("Passwords do not match."),
                         QStringLiteral("Imported \"doc.txt\" and securely erased the original."),
                         QStringLiteral("original gone"), QStringLiteral("doc.txt,doc_1.txt"),
                         QStringLiteral("export matches")}));
        QCOMPARE(auth_->username(), kUser);
        seen_.clear();

        // A wrong password is refused and counted; the right one opens the same vault. Two-factor
        // authentication is then switched on the way the settings would do it.
        std::optional<crypto::SecureBuffer> secret;
        GuiScript secondSession;
        secondSession.onModal<LoginDialog>(QStringLiteral("sign in"), [this](LoginDialog* login) {
            auto* password = child<QLineEdit>(login, "loginPasswordEdit");
            password->setText(QStringLiteral("Wrong-Password-1!"));
            child<QPushButton>(login, "loginUnlockButton")->click();
            seen_ << child<QLabel>(login, "loginErrorLabel")->text();
            seen_ << (QFile::exists(data_ + QStringLiteral("/identity.dat.lockout"))
                          ? QStringLiteral("failure recorded")
                          : QStringLiteral("failure not recorded"));
            password->setText(kPassword);
            child<QPushButton>(login, "loginUnlockButton")->click();
        });
        secondSession.add(
            QStringLiteral("files still there; enable two-factor"), mainWindowReady, [&] {
                seen_ << tableNames().join(QLatin1Char(','));
                MainWindow* window = mainWindow();
                vault::VaultContainer* vault = window->container();
                QVERIFY(vault);
                const std::optional<QString> uri = twoFactor_->beginEnrollment(
                    window->vaultKey(), kUser, QStringLiteral("Zelvora"));
                QVERIFY(uri);
                secret = crypto::decodeBase32(
                    uri->section(QStringLiteral("secret="), 1).section(QLatin1Char('&'), 0, 0));
                QVERIFY(secret);
                const std::optional<crypto::SecureBuffer> effective = twoFactor_->confirmEnrollment(
                    window->vaultKey(),
                    codeAt(*secret, clock_.unixSeconds() / core::kTotpStepSeconds),
                    vault->generationCounter());
                QVERIFY(effective);
                QCOMPARE(vault->rekey(*effective), vault::RekeyResult::Rekeyed);
                QVERIFY(twoFactor_->markTransitionVaultRekeyed());
                QVERIFY(twoFactor_->commitTransition());
                QAction* signOut = window->findChild<QAction*>(QStringLiteral("signOutAction"));
                GuiScript::later([signOut] { signOut->trigger(); });
            });
        secondSession.onModal<QMessageBox>(
            QStringLiteral("confirm sign-out"),
            [](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        QCOMPARE(run(secondSession), 1);
        QVERIFY2(secondSession.finished(), qPrintable(secondSession.nextStep()));
        QCOMPARE(seen_, QStringList({QStringLiteral("Incorrect password."),
                                     QStringLiteral("failure recorded"),
                                     QStringLiteral("doc.txt,doc_1.txt")}));
        QVERIFY(twoFactor_->isEnabled());
        seen_.clear();

        // With two-factor on, the password alone does not open the vault: the code does.
        clock_.advance(2 * core::kTotpStepSeconds);
        const qint64 step = clock_.unixSeconds() / core::kTotpStepSeconds;
        GuiScript thirdSession;
        thirdSession.onModal<LoginDialog>(QStringLiteral("sign in again"), [](LoginDialog* login) {
            child<QLineEdit>(login, "loginPasswordEdit")->setText(kPassword);
            child<QPushButton>(login, "loginUnlockButton")->click();
        });
        thirdSession.onModal<TwoFactorPromptDialog>(
            QStringLiteral("enter the code"), [&](TwoFactorPromptDialog* prompt) {
                auto* code = child<QLineEdit>(prompt, "twoFactorPromptCodeEdit");
                // A code of another time step is wrong now.
                code->setText(codeAt(*secret, step - 5));
                child<QPushButton>(prompt, "twoFactorPromptVerifyButton")->click();
                seen_ << child<QLabel>(prompt, "twoFactorPromptErrorLabel")->text();
                code->setText(codeAt(*secret, step));
                child<QPushButton>(prompt, "twoFactorPromptVerifyButton")->click();
            });
        thirdSession.add(QStringLiteral("the vault opens under the second factor"), mainWindowReady,
                         [&] {
                             seen_ << tableNames().join(QLatin1Char(','));
                             const std::optional<crypto::PlaintextBuffer> copy =
                                 mainWindow()->container()->readFile(QStringLiteral("doc_1.txt"));
                             seen_ << (copy && test::bytesOf(*copy) == second
                                           ? QStringLiteral("copy intact")
                                           : QStringLiteral("copy unreadable"));
                             MainWindow* window = mainWindow();
                             GuiScript::later([window] { window->close(); });
                         });
        QCOMPARE(run(thirdSession), 0);
        QVERIFY2(thirdSession.finished(), qPrintable(thirdSession.nextStep()));
        QCOMPARE(seen_,
                 QStringList({QStringLiteral("Incorrect code."),
                              QStringLiteral("doc.txt,doc_1.txt"), QStringLiteral("copy intact")}));
        twoFactorSecret_ = std::move(secret);
    }

    // The two-factor record is lost: the password alone no longer opens the vault, and the
    // secret the user kept from enrolment brings it back.
    void lostTwoFactorRecordIsRestoredFromTheSecret() {
        QVERIFY(twoFactorSecret_);
        for (const char* suffix : {"", ".key"})
            QVERIFY(
                QFile::remove(data_ + QStringLiteral("/twofactor.dat") + QLatin1String(suffix)));
        QVERIFY(!twoFactor_->isEnabled());
        const QString title = QStringLiteral("Restore Two-Factor Authentication");
        crypto::SecureBuffer wrongSecret = crypto::SecureBuffer::copyOf("twenty bytes, wrong!", 20);

        // One session per answer: nonsense, a secret that does not open the vault, the real one
        // as a person would type it (lower case, in groups).
        const QList<QString> answers{
            QStringLiteral("not a secret!"),
            crypto::encodeBase32({wrongSecret.data(), wrongSecret.size()}),
            crypto::encodeBase32({twoFactorSecret_->data(), twoFactorSecret_->size()})
                .toLower()
                .replace(QRegularExpression(QStringLiteral("(.{4})")), QStringLiteral("\\1 "))};
        for (const QString& answer : answers) {
            seen_.clear();
            const bool real = &answer == &answers.last();
            GuiScript script;
            script.onModal<LoginDialog>(QStringLiteral("sign in"), [](LoginDialog* login) {
                child<QLineEdit>(login, "loginPasswordEdit")->setText(kPassword);
                child<QPushButton>(login, "loginUnlockButton")->click();
            });
            script.onModal<QMessageBox>(QStringLiteral("the restore question"),
                                        [this](QMessageBox* box) {
                                            seen_ << box->windowTitle();
                                            box->button(QMessageBox::Yes)->click();
                                        });
            script.onModal<QInputDialog>(QStringLiteral("the secret"),
                                         [this, answer](QInputDialog* input) {
                                             seen_ << input->labelText();
                                             input->setTextValue(answer);
                                             static_cast<QDialog*>(input)->accept();
                                         });
            if (!real) {
                script.onModal<QMessageBox>(QStringLiteral("why not"), [this](QMessageBox* box) {
                    seen_ << box->text();
                    box->button(QMessageBox::Ok)->click();
                });
            }
            script.add(QStringLiteral("the window"), mainWindowReady, [this] {
                MainWindow* window = mainWindow();
                auto* label = qobject_cast<QLabel*>(window->centralWidget());
                seen_ << (window->container() ? tableNames().join(QLatin1Char(','))
                                              : label->text().section(QLatin1Char('.'), 0, 0));
                GuiScript::later([window] { window->close(); });
            });
            QCOMPARE(run(script), 0);
            QVERIFY2(script.finished(), qPrintable(script.nextStep()));
            QCOMPARE(seen_.value(0), title);
            QCOMPARE(seen_.value(1), QStringLiteral("Enter your saved two-factor secret:"));
            if (!real) {
                QCOMPARE(seen_.value(2),
                         &answer == &answers.first()
                             ? QStringLiteral(
                                   "That doesn't look like a valid secret. Nothing was changed.")
                             : QStringLiteral(
                                   "That secret did not open this vault. Nothing was changed."));
                QCOMPARE(seen_.value(3), QStringLiteral("Could not open the vault"));
                QVERIFY(!twoFactor_->isEnabled());
            } else {
                QCOMPARE(seen_.value(2), QStringLiteral("doc.txt,doc_1.txt"));
                QVERIFY(twoFactor_->isEnabled());
            }
        }
    }

    // A vault deletion waits for the password at the next start; once done, the install starts
    // over like a new one, and the new vault is the one the configuration expects from then on.
    void deletedVaultStartsOverAsANewInstall() {
        const QString vaultPath = data_ + QStringLiteral("/vault.kvxs");
        const QString oldVaultId = vault::VaultContainer::readVaultIdFromFile(vaultPath);
        QVERIFY(!oldVaultId.isEmpty());
        QVERIFY(storage_->setPendingDeletePath(vaultPath));
        seen_.clear();

        // Cancelled: nothing is deleted, and the sign-in follows as usual.
        GuiScript cancelled;
        cancelled.onModal<QInputDialog>(QStringLiteral("confirm the deletion"),
                                        [this](QInputDialog* input) {
                                            seen_ << input->windowTitle() << input->labelText();
                                            input->reject();
                                        });
        cancelled.onModal<LoginDialog>(QStringLiteral("the usual sign-in"),
                                       [](LoginDialog* login) { login->reject(); });
        QCOMPARE(run(cancelled), 0);
        QVERIFY2(cancelled.finished(), qPrintable(cancelled.nextStep()));
        QCOMPARE(seen_, QStringList({QStringLiteral("Confirm Your Password"),
                                     QStringLiteral("A vault deletion is pending. Type your master "
                                                    "password to complete it now, or Cancel to be "
                                                    "asked again next time you start Zelvora.")}));
        QCOMPARE(vault::VaultContainer::readVaultIdFromFile(vaultPath), oldVaultId);
        QCOMPARE(storage_->pendingDeletePath(), vaultPath);
        seen_.clear();

        // Confirmed: the vault and the account are gone, and the first run creates both anew.
        GuiScript confirmed;
        confirmed.onModal<QInputDialog>(QStringLiteral("confirm with the password"),
                                        [](QInputDialog* input) {
                                            input->setTextValue(kPassword);
                                            static_cast<QDialog*>(input)->accept();
                                        });
        confirmed.onModal<FirstRunWizard>(
            QStringLiteral("a new account"), [](FirstRunWizard* wizard) {
                child<QLineEdit>(wizard, "firstRunUsernameEdit")->setText(QStringLiteral("bob"));
                child<QLineEdit>(wizard, "firstRunPasswordEdit")->setText(kPassword);
                child<QLineEdit>(wizard, "firstRunConfirmEdit")->setText(kPassword);
                child<QPushButton>(wizard, "firstRunCreateButton")->click();
            });
        confirmed.add(QStringLiteral("an empty vault"), mainWindowReady, [this] {
            seen_ << QString::number(child<QTableWidget>(mainWindow(), "vaultTable")->rowCount());
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
        QCOMPARE(run(confirmed), 0);
        QVERIFY2(confirmed.finished(), qPrintable(confirmed.nextStep()));
        QCOMPARE(seen_, QStringList{QStringLiteral("0")});
        const QString newVaultId = vault::VaultContainer::readVaultIdFromFile(vaultPath);
        QVERIFY(!newVaultId.isEmpty() && newVaultId != oldVaultId);
        QCOMPARE(storage_->boundVaultId(), newVaultId);
        QVERIFY(!twoFactor_->isEnabled());
        QCOMPARE(auth_->username(), QStringLiteral("bob"));
        seen_.clear();

        // The next start signs in to the new vault; nothing calls it a stranger.
        GuiScript next;
        next.onModal<LoginDialog>(QStringLiteral("sign in to the new vault"),
                                  [](LoginDialog* login) { login->reject(); });
        QCOMPARE(run(next), 0);
        QVERIFY2(next.finished(), qPrintable(next.nextStep()));
    }

    // A vault that cannot be used ends the start in its message; nothing is created over it and
    // nothing of it changes.
    void unusableVaultEndsInItsMessage_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("startOfMessage");
        QTest::newRow("open in another instance") << "locked"
                                                  << "The vault file appears to be open already";
        QTest::newRow("replaced by an older copy")
            << "older copy"
            << "Zelvora could not open this vault: it looks like an older backup or copy.";
        QTest::newRow("rollback record gone")
            << "no record"
            << "Zelvora could not verify this vault's rollback-protection record";
    }
    void unusableVaultEndsInItsMessage() {
        QFETCH(QString, damage);
        QFETCH(QString, startOfMessage);
        const QString vaultPath = data_ + QStringLiteral("/vault.kvxs");
        const QString record = data_ + QStringLiteral("/vault_generation.dat");
        const QString saved = root_.filePath(QStringLiteral("saved.kvxs"));
        QFile::remove(saved);
        QVERIFY(QFile::copy(vaultPath, saved));
        const QByteArray savedRecord = test::readWholeFile(record);
        const QByteArray savedRecordKey = test::readWholeFile(record + QStringLiteral(".key"));

        auto signIn = [](GuiScript& script) {
            script.onModal<LoginDialog>(QStringLiteral("sign in"), [](LoginDialog* login) {
                child<QLineEdit>(login, "loginPasswordEdit")->setText(kPassword);
                child<QPushButton>(login, "loginUnlockButton")->click();
            });
        };
        if (damage == QStringLiteral("older copy")) {
            // A session that changes the vault and records the change; then the older file is
            // put back.
            GuiScript changing;
            signIn(changing);
            changing.add(QStringLiteral("change the vault"), mainWindowReady, [this] {
                MainWindow* window = mainWindow();
                const QString source = outside_ + QStringLiteral("/later.txt");
                QVERIFY(test::writeFile(source, "written after the copy"));
                QVERIFY(window->container()->importFile(source, QStringLiteral("later.txt")));
                QVERIFY(QMetaObject::invokeMethod(window, "onRollbackGuardAdvanceTimeout"));
                GuiScript::later([window] { window->close(); });
            });
            QCOMPARE(run(changing), 0);
            QVERIFY2(changing.finished(), qPrintable(changing.nextStep()));
            QVERIFY(QFile::remove(vaultPath));
            QVERIFY(QFile::copy(saved, vaultPath));
        } else if (damage == QStringLiteral("no record")) {
            QVERIFY(QFile::remove(record));
        }
        std::unique_ptr<vault::FileBlockStore> otherInstance;
        if (damage == QStringLiteral("locked")) {
            otherInstance = std::make_unique<vault::FileBlockStore>(vaultPath);
            QVERIFY(otherInstance->open());
        }
        const QByteArray before = test::readWholeFile(vaultPath);

        GuiScript refused;
        signIn(refused);
        refused.onModal<QMessageBox>(QStringLiteral("the refusal"), [this](QMessageBox* box) {
            seen_ << box->windowTitle() << box->text();
            box->button(QMessageBox::Ok)->click();
        });
        seen_.clear();
        QCOMPARE(run(refused), 0);
        QVERIFY2(refused.finished(), qPrintable(refused.nextStep()));
        QCOMPARE(seen_.size(), 2);
        QCOMPARE(seen_[0], QStringLiteral("Vault Unavailable"));
        QVERIFY2(seen_[1].startsWith(startOfMessage), qPrintable(seen_[1]));
        otherInstance.reset();
        QCOMPARE(test::readWholeFile(vaultPath), before);

        // Put things back for the next case.
        if (damage == QStringLiteral("no record")) {
            QVERIFY(test::writeFile(record, savedRecord));
            QVERIFY(test::writeFile(record + QStringLiteral(".key"), savedRecordKey));
        }
    }
};

int main(int argc, char** argv) {
    // A private HOME and data folders, and no session bus, before anything reads them.
    test::PrivateSessionBus session;
    if (!session.isolate())
        return 2;
    QApplication app(argc, argv);
    TestSession test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_session.moc"
