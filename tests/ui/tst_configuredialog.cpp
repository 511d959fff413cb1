// The settings window driven through its widgets, over a real account, vault and settings files:
// two-factor enrolment with its QR code, the password change, the re-keying each of them does and
// what a crash in the middle of it leaves, auto-lock, the storage settings and deleting the vault.

#include "app/GuiScript.h"
#include "app/KeyTransitionRecovery.h"
#include "core/AuthManager.h"
#include "core/IdleLockSetting.h"
#include "core/LockoutTracker.h"
#include "core/PasswordPolicy.h"
#include "core/StorageConfigFile.h"
#include "core/Totp.h"
#include "core/TwoFactorManager.h"
#include "crypto/Base32.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/RollbackGuard.h"
#include "support/FaultInjectingStore.h"
#include "support/ManualClock.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "ui/ConfigureDialog.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLocation.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>
#include <functional>
#include <memory>
#include <optional>

using namespace korvex;
using crypto::SecureBuffer;

namespace {

const QString kUser = QStringLiteral("ada lovelace");
const std::string kPassword = "Old-Password-1";
const std::string kNewPassword = "New-Password-2";
// Literals, not copies on the heap: the dialog zeroes the buffer a password field shares with
// whoever set its text, and these constants must survive it.
const QString kPasswordText = QStringLiteral("Old-Password-1");
const QString kNewPasswordText = QStringLiteral("New-Password-2");
const QString kMachine = QStringLiteral("configure-test-machine");
const QString kDocument = QStringLiteral("document.txt");
const QByteArray kContent("the only document, read back after every change");

const QString kGreen = QStringLiteral("color: #7CD992;");
const QString kRed = QStringLiteral("color: #FF7A7A;");
const QString kManualPrefix = QStringLiteral("Can't scan? Enter this code manually: ");
const QString kCodeMismatch =
    QStringLiteral("That code didn't match. Check your app and try again.");
const QString kLocalPathMessage =
    QStringLiteral("Folder must be a local path (not a network path) with no \"..\" segments.");
const QString kFileNameMessage =
    QStringLiteral("File name must not contain \"/\" or \"\\\", and cannot be \".\" or \"..\".");
const QString kLocationUpdated =
    QStringLiteral("Location updated. Restart Zelvora to move the vault there.");

// A data folder's files by name, as a crash or a restart finds them.
using Snapshot = QMap<QString, QByteArray>;

Snapshot snapshotOf(const QString& folder) {
    Snapshot files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QString path = it.next();
        // The lock of an open vault names this living process; a crashed one's would be stale.
        if (!path.endsWith(QStringLiteral(".lock")))
            files.insert(QFileInfo(path).fileName(), test::readWholeFile(path));
    }
    return files;
}

bool restoreInto(const QString& folder, const Snapshot& files) {
    QDir(folder).removeRecursively();
    if (!QDir().mkpath(folder))
        return false;
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!test::writeFile(folder + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

QString codeAt(const SecureBuffer& secret, const core::Clock& clock, qint64 stepsAhead = 0) {
    const qint64 step = clock.unixSeconds() / core::kTotpStepSeconds + stepsAhead;
    return core::hotp({secret.data(), secret.size()}, quint64(step), core::kTotpDigits);
}

// The fault-injecting store, which also notes the data folder's other files at the moment its
// fault strikes: what a crash at that I/O leaves of them.
class CrashWatchingStore final : public vault::IVaultBlockStore {
public:
    CrashWatchingStore(const QString& path, std::shared_ptr<test::FaultPlan> plan,
                       std::function<void()> atFault)
        : inner_(path, plan), plan_(std::move(plan)), atFault_(std::move(atFault)) {}

    bool exists() const override { return inner_.exists(); }
    bool create() override { return inner_.create(); }
    bool open() override { return inner_.open(); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    QString errorString() const override { return inner_.errorString(); }
    bool remove() override { return inner_.remove(); }
    qint64 size() const override { return inner_.size(); }
    bool resize(qint64 newSize) override { return noted(inner_.resize(newSize)); }
    bool readAt(qint64 offset, void* buffer, qint64 length) override {
        return inner_.readAt(offset, buffer, length);
    }
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override {
        return noted(inner_.writeAt(offset, buffer, length));
    }
    bool flush() override { return noted(inner_.flush()); }
    std::optional<platform::FileIdentity> backingFile() const override {
        return inner_.backingFile();
    }

private:
    bool noted(bool ok) {
        if (!seen_ && plan_->fired()) {
            seen_ = true;
            atFault_();
        }
        return ok;
    }

    test::FaultInjectingStore inner_;
    std::shared_ptr<test::FaultPlan> plan_;
    std::function<void()> atFault_;
    bool seen_ = false;
};

// The keyring double, reporting itself as the private key file used when no keyring runs.
class KeyFileProtection final : public platform::IUserDataProtection {
public:
    explicit KeyFileProtection(platform::IUserDataProtection& inner) : inner_(inner) {}
    platform::UserProtectionKind kind() const override {
        return platform::UserProtectionKind::UserKeyFile;
    }
    std::optional<QByteArray> protect(const SecureBuffer& data, const QString& description,
                                      const SecureBuffer* entropy) override {
        return inner_.protect(data, description, entropy);
    }
    std::optional<SecureBuffer> unprotect(const QByteArray& blob,
                                          const SecureBuffer* entropy) override {
        return inner_.unprotect(blob, entropy);
    }

private:
    platform::IUserDataProtection& inner_;
};

} // namespace

#define EXPECT_STATUS(labelName, expectedText, expectedStyle)                                      \
    do {                                                                                           \
        const QLabel* status_ = widget<QLabel>(labelName);                                         \
        QCOMPARE(status_->text(), QString(expectedText));                                          \
        QCOMPARE(status_->styleSheet(), QString(expectedStyle));                                   \
    } while (false)

// Account creation and every login run Argon2id at full cost: the account and its vault are made
// once, and each test starts from a copy of that data folder.
class ConfigureDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection user_;
    test::ManualClock clock_;
    Snapshot template_;
    QString vaultId_;
    SecureBuffer plainKey_;
    int qrFiles_ = 0;
    // Why vault opens after a restart were refused, when they said.
    QStringList refusals_;

    // The session under test.
    QString folder_;
    std::shared_ptr<core::LockoutFloorStore> floor_;
    std::unique_ptr<core::AuthManager> auth_;
    std::unique_ptr<core::TwoFactorManager> twoFactor_;
    std::unique_ptr<core::StorageConfigFile> storage_;
    std::shared_ptr<test::FaultPlan> plan_;
    std::optional<Snapshot> atFault_;
    std::unique_ptr<vault::VaultContainer> vault_;
    std::unique_ptr<ConfigureDialog> dialog_;

    QString at(const QString& folder, const char* name) const {
        return folder + QLatin1Char('/') + QLatin1String(name);
    }
    QString at(const char* name) const { return at(folder_, name); }
    QString vaultPath() const { return at("vault.kvxs"); }

    // A folder name of the running test's (and data row's) own.
    QString caseName(const QString& suffix = QString()) const {
        QString name = QString::fromLatin1(QTest::currentTestFunction());
        if (QTest::currentDataTag() != nullptr)
            name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
        if (!suffix.isEmpty())
            name += QLatin1Char('-') + suffix;
        return name.replace(QLatin1Char(' '), QLatin1Char('-'));
    }

    // A signed-in session on a fresh copy of the account: the managers the main window holds and
    // the vault opened the way the session opens it. faulty puts the vault on a fault-injecting
    // store driven by plan_.
    void startSession(const QString& name, bool withVault = true, bool faulty = false) {
        endSession();
        folder_ = dir_.filePath(name);
        if (!restoreInto(folder_, template_))
            qFatal("cannot copy the account to %s", qPrintable(folder_));
        floor_ = core::createSettingsFloorStore(at("floor.ini"));
        auth_ = std::make_unique<core::AuthManager>(at("identity.dat"), clock_, floor_);
        twoFactor_ = std::make_unique<core::TwoFactorManager>(at("twofactor.dat"), clock_);
        storage_ = std::make_unique<core::StorageConfigFile>(
            core::openStorageConfig(at("storage.dat"), kMachine, at("vault_generation.dat")));
        if (!withVault)
            return;
        std::unique_ptr<vault::IVaultBlockStore> store;
        if (faulty) {
            plan_ = std::make_shared<test::FaultPlan>();
            plan_->countOnly();
            store = std::make_unique<CrashWatchingStore>(vaultPath(), plan_, [this] {
                Snapshot files = snapshotOf(folder_);
                files.remove(QStringLiteral("vault.kvxs"));
                atFault_ = files;
            });
        } else {
            store = std::make_unique<vault::FileBlockStore>(vaultPath());
        }
        vault_ = vault::VaultContainer::open(std::move(store), plainKey_, kMachine);
        if (!vault_)
            qFatal("the copied vault does not open");
        vault_->setMaxVaultSizeBytes(storage_->maxVaultSizeBytes());
    }
    // The dialog and the vault are gone, as when the process ends.
    void endSession() {
        dialog_.reset();
        vault_.reset();
        atFault_.reset();
    }

    ConfigureDialog& openDialog() {
        dialog_ = std::make_unique<ConfigureDialog>(plainKey_, kUser, kMachine, *auth_, *twoFactor_,
                                                    *storage_, at("idlelock.dat"),
                                                    at("vault_generation.dat"), vault_.get());
        dialog_->show();
        return *dialog_;
    }
    template <typename T> T* widget(const char* name) const {
        T* found = dialog_->findChild<T*>(QLatin1String(name));
        if (found == nullptr)
            qFatal("no widget named %s", name);
        return found;
    }
    // What the user sees of a widget on the page of its tab.
    bool shownOnTab(const char* name, int tab) const {
        widget<QTabWidget>("configureTabs")->setCurrentIndex(tab);
        return widget<QWidget>(name)->isVisible();
    }
    void click(const char* name) { widget<QAbstractButton>(name)->click(); }
    void typeCode(const QString& code) {
        auto* edit = widget<QLineEdit>("twoFactorCodeEdit");
        edit->clear();
        edit->setFocus();
        QTest::keyClicks(edit, code);
    }
    void fillPasswords(const QString& current, const QString& next, const QString& confirmation) {
        widget<QLineEdit>("currentPasswordEdit")->setText(current);
        widget<QLineEdit>("newPasswordEdit")->setText(next);
        widget<QLineEdit>("confirmNewPasswordEdit")->setText(confirmation);
    }

    // Starts an enrolment with the Enable button; the secret the manual-entry label shows.
    SecureBuffer startEnrolment() {
        click("enableTwoFactorButton");
        const QString manual = widget<QLabel>("manualSecretLabel")->text();
        if (!manual.startsWith(kManualPrefix))
            return SecureBuffer();
        std::optional<SecureBuffer> secret = crypto::decodeBase32(manual.mid(kManualPrefix.size()));
        return secret ? std::move(*secret) : SecureBuffer();
    }
    // Two-factor authentication switched on through the dialog; its secret.
    SecureBuffer enableTwoFactor() {
        SecureBuffer secret = startEnrolment();
        typeCode(codeAt(secret, clock_));
        click("confirmTwoFactorButton");
        return secret;
    }

    // Runs a click that opens modal dialogs, answered by the script's steps.
    void clickThrough(const char* button, test::GuiScript& script) {
        script.start();
        click(button);
        QVERIFY2(script.failure().isEmpty(), qPrintable(script.failure()));
        QVERIFY2(script.finished(),
                 qPrintable(QStringLiteral("never opened: ") + script.nextStep()));
    }
    // Answers the "Confirm Your Password" prompt with text, or cancels it; prompt receives its
    // label.
    static void answerPassword(test::GuiScript& script, std::optional<QString> text,
                               QString* prompt = nullptr) {
        test::answerText(script, QStringLiteral("password prompt"), std::move(text), prompt);
    }
    static void answerQuestion(test::GuiScript& script, QMessageBox::StandardButton answer,
                               QString* text = nullptr) {
        test::answerQuestion(script, answer, text);
    }

    // The text a QR code image decodes to, read by zbarimg.
    QString decodeQr(const QImage& image) {
        const QString file = dir_.filePath(QStringLiteral("qr-%1.png").arg(++qrFiles_));
        if (!image.save(file, "PNG"))
            return QStringLiteral("<not saved>");
        QProcess zbar;
        zbar.start(QStringLiteral("zbarimg"),
                   {QStringLiteral("--raw"), QStringLiteral("-q"), file});
        if (!zbar.waitForFinished(60000))
            return QStringLiteral("<zbarimg did not finish>");
        QString text = QString::fromUtf8(zbar.readAllStandardOutput());
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        return text;
    }
    // Square, whole 6-pixel modules of one colour each, a white border of 4 modules, and the
    // finder patterns' corners right inside it.
    static void checkQrGeometry(const QImage& image) {
        QVERIFY(!image.isNull());
        const int side = image.width();
        QCOMPARE(image.height(), side);
        QCOMPARE(side % 6, 0);
        const int modules = side / 6 - 8;
        QVERIFY2(modules >= 21 && (modules - 21) % 4 == 0, qPrintable(QString::number(modules)));
        for (int row = 0; row < side / 6; ++row) {
            for (int column = 0; column < side / 6; ++column) {
                const QRgb first = image.pixel(column * 6, row * 6);
                QVERIFY(first == qRgb(0, 0, 0) || first == qRgb(255, 255, 255));
                const bool border =
                    row < 4 || column < 4 || row >= modules + 4 || column >= modules + 4;
                if (border)
                    QCOMPARE(first, qRgb(255, 255, 255));
                for (int y = 0; y < 6; ++y) {
                    for (int x = 0; x < 6; ++x)
                        QCOMPARE(image.pixel(column * 6 + x, row * 6 + y), first);
                }
            }
        }
        const QRgb black = qRgb(0, 0, 0);
        QCOMPARE(image.pixel(24, 24), black);
        QCOMPARE(image.pixel(side - 25, 24), black);
        QCOMPARE(image.pixel(24, side - 25), black);
    }

    // After a restart of the data folder at folder: the vault opened as a session opens it, with
    // the rollback check, and the document read back.
    bool vaultOpensWith(const QString& folder, const SecureBuffer& key) {
        vault::VaultLocation location;
        location.containerPath = at(folder, "vault.kvxs");
        QString refusal;
        auto vault = protect::openVaultGuarded(
            location, key, kMachine, at(folder, "vault_generation.dat"), QString(), 0, &refusal);
        if (!refusal.isEmpty())
            refusals_ << refusal;
        if (!vault)
            return false;
        const auto content = vault->readFile(kDocument);
        return content && test::bytesOf(*content) == kContent;
    }
    // Signing in with password at folder: the login, the two-factor key when it is on, the vault.
    bool signsIn(const QString& folder, const std::string& password) {
        core::AuthManager auth(at(folder, "identity.dat"), clock_,
                               core::createSettingsFloorStore(at(folder, "floor.ini")));
        const std::optional<SecureBuffer> key =
            auth.login(password, true, vaultId_, nullptr, nullptr);
        if (!key)
            return false;
        core::TwoFactorManager twoFactor(at(folder, "twofactor.dat"), clock_);
        const std::optional<SecureBuffer> containerKey =
            twoFactor.isEnabled() ? twoFactor.effectiveVaultKey(*key)
                                  : std::optional<SecureBuffer>(key->clone());
        return containerKey && vaultOpensWith(folder, *containerKey);
    }
    // What the next start does before anybody signs in.
    void recoverAt(const QString& folder) {
        core::AuthManager auth(at(folder, "identity.dat"), clock_,
                               core::createSettingsFloorStore(at(folder, "floor.ini")));
        core::TwoFactorManager twoFactor(at(folder, "twofactor.dat"), clock_);
        const core::StorageConfigFile storage = core::openStorageConfig(
            at(folder, "storage.dat"), kMachine, at(folder, "vault_generation.dat"));
        app::recoverPendingKeyTransitions(auth, twoFactor, storage, folder);
    }

    // Runs the re-keying action with a power loss at its vault I/Os. Each crash is restarted
    // from the data folder as it was at the fault and as the dialog left it, with the vault as
    // the power loss left it (none of the unflushed I/O landed, or all of it), through start-up
    // recovery; judge then checks the restart. prepare fills in the dialog and names the label
    // the action reports in. everyIo false crashes at every I/O up to the one after the flush
    // that commits the new header, and at the last: the I/Os in between only overwrite the old
    // key's header and index, as the re-key run at every I/O by another test does.
    void crashDuringRekey(const std::function<const char*()>& prepare, const char* button,
                          bool everyIo,
                          const std::function<void(const QString&, const QString&)>& judge) {
        startSession(caseName(QStringLiteral("count")), true, true);
        openDialog();
        const char* label = prepare();
        plan_->countOnly();
        click(button);
        const QList<test::MutatingIo> ios = plan_->ioLog();
        QVERIFY2(!ios.isEmpty(), qPrintable(widget<QLabel>(label)->text()));
        QList<int> points;
        bool headerWritten = false;
        for (int k = 1; k <= ios.size(); ++k) {
            const test::MutatingIo& io = ios[k - 1];
            points << k;
            if (io.kind == test::IoKind::Write &&
                io.offset < vault::kHeaderSlotCount * vault::kHeaderSlotBytes)
                headerWritten = true;
            if (!everyIo && headerWritten && io.kind == test::IoKind::Flush) {
                if (k + 1 < ios.size())
                    points << k + 1;
                points << int(ios.size());
                break;
            }
        }

        for (const int k : points) {
            startSession(caseName(QStringLiteral("k%1").arg(k)), true, true);
            openDialog();
            prepare();
            plan_->armPowerLoss(k);
            click(button);
            QVERIFY(plan_->fired());
            QVERIFY(atFault_.has_value());
            const QString shown = widget<QLabel>(label)->text();
            Snapshot afterDialog = snapshotOf(folder_);
            afterDialog.remove(QStringLiteral("vault.kvxs"));
            const Snapshot atFault = *atFault_;
            endSession();

            const QList<QPair<QString, Snapshot>> states{
                {QStringLiteral("at the fault"), atFault},
                {QStringLiteral("after the dialog"), afterDialog}};
            for (const auto& [when, files] : states) {
                for (const bool landed : {false, true}) {
                    const QString where =
                        QStringLiteral("power lost at vault I/O %1 of %2 (%3); folder %4; %5 of "
                                       "the unflushed I/O landed; the dialog said \"%6\"")
                            .arg(k)
                            .arg(ios.size())
                            .arg(plan_->inFlight().describe(), when,
                                 landed ? QStringLiteral("all") : QStringLiteral("none"), shown);
                    const QString restart =
                        dir_.filePath(caseName(QStringLiteral("k%1-%2-%3")
                                                   .arg(k)
                                                   .arg(when.section(QLatin1Char(' '), -1))
                                                   .arg(landed ? 1 : 0)));
                    QVERIFY(restoreInto(restart, files));
                    QVERIFY(plan_->writePostCrashImage(
                        at(restart, "vault.kvxs"), QList<bool>(plan_->unflushedCount(), landed),
                        landed ? test::Landing::Everything : test::Landing::Nothing));
                    recoverAt(restart);
                    refusals_.clear();
                    judge(restart, where);
                    if (QTest::currentTestFailed())
                        return;
                }
            }
        }
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty(),
                 "the QR code checks read the codes with zbarimg (Debian package zbar-tools)");
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &user_);

        // The account, its vault holding one document, the rollback record and storage.dat
        // bound to the vault, as the first session leaves them.
        const QString folder = dir_.filePath(QStringLiteral("template"));
        QVERIFY(QDir().mkpath(folder));
        core::AuthManager auth(at(folder, "identity.dat"), clock_,
                               core::createSettingsFloorStore(at(folder, "floor.ini")));
        std::optional<SecureBuffer> key = auth.createAccount(kUser, kPassword);
        QVERIFY(key);
        auto vault = vault::VaultContainer::create(
            std::make_unique<vault::FileBlockStore>(at(folder, "vault.kvxs")), *key, kMachine);
        QVERIFY(vault);
        const QString source = dir_.filePath(kDocument);
        QVERIFY(test::writeFile(source, kContent));
        QVERIFY(vault->importFile(source, kDocument));
        vaultId_ = vault->vaultId();
        QVERIFY(auth.bindVaultId(*key, vaultId_));
        QVERIFY(protect::checkAndAdvance(at(folder, "vault_generation.dat"), vaultId_,
                                         vault->generationCounter(), true));
        core::StorageConfigFile storage = core::openStorageConfig(
            at(folder, "storage.dat"), kMachine, at(folder, "vault_generation.dat"));
        QVERIFY(storage.setBoundVaultId(vaultId_));
        vault.reset();
        plainKey_ = std::move(*key);
        template_ = snapshotOf(folder);
    }
    void cleanup() {
        endSession();
        protect::setLocalProtectionServices(&tpm_, &user_);
    }
    void cleanupTestCase() {
        endSession();
        protect::LocalIntegrityKey::clearRootCache();
        protect::setLocalProtectionServices(nullptr, nullptr);
    }

    // ---- sizes and the QR code ----

    void sizeText_data() {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << QStringLiteral("0 bytes");
        QTest::newRow("just under a KB") << qint64(1023) << QStringLiteral("1023 bytes");
        QTest::newRow("one KB") << qint64(1024) << QStringLiteral("1.0 KB");
        QTest::newRow("one and a half KB") << qint64(1536) << QStringLiteral("1.5 KB");
        // The unit follows the size, not its rounded text.
        QTest::newRow("just under a MB") << qint64(1048575) << QStringLiteral("1024.0 KB");
        QTest::newRow("one MB") << qint64(1048576) << QStringLiteral("1.00 MB");
        QTest::newRow("just under a GB") << qint64(1073741823) << QStringLiteral("1024.00 MB");
        QTest::newRow("one GB") << qint64(1073741824) << QStringLiteral("1.00 GB");
        QTest::newRow("terabytes stay in GB")
            << qint64(5) * (qint64(1) << 40) << QStringLiteral("5120.00 GB");
        QTest::newRow("largest size")
            << std::numeric_limits<qint64>::max() << QStringLiteral("8589934592.00 GB");
    }
    void sizeText() {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(ConfigureDialog::sizeText(bytes), text);
    }

    void qrCodeReadsBackAsItsText_data() {
        QTest::addColumn<QString>("text");
        const QString uri = QStringLiteral(
            "otpauth://totp/Zelvora:ada%20lovelace?secret=JBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXP"
            "&issuer=Zelvora&algorithm=SHA1&digits=6&period=30");
        QTest::newRow("otpauth URI") << uri;
        QTest::newRow("a larger symbol") << uri.repeated(5);
        QTest::newRow("one character") << QStringLiteral("x");
    }
    void qrCodeReadsBackAsItsText() {
        QFETCH(QString, text);
        const QImage image = ConfigureDialog::renderQrCode(text);
        checkQrGeometry(image);
        QCOMPARE(decodeQr(image), text);
    }
    void textTooLongForAQrCodeGivesNoImage() {
        QVERIFY(ConfigureDialog::renderQrCode(QString(4000, QLatin1Char('x'))).isNull());
    }

    // ---- two-factor enrolment ----

    void enablingShowsAStandardOtpauthCode() {
        startSession(caseName());
        openDialog();
        QVERIFY(shownOnTab("enableTwoFactorButton", 1));
        QVERIFY(!shownOnTab("qrCodeLabel", 1));
        const SecureBuffer secret = startEnrolment();
        QCOMPARE(secret.size(), core::kTotpSecretBytes);

        QVERIFY(!shownOnTab("enableTwoFactorButton", 1));
        QVERIFY(shownOnTab("qrCodeLabel", 1));
        QVERIFY(!shownOnTab("disableTwoFactorButton", 1));
        const QImage image = widget<QLabel>("qrCodeLabel")->pixmap().toImage();
        checkQrGeometry(image);
        const QString text = decodeQr(image);
        const QUrl uri(text, QUrl::StrictMode);
        QVERIFY2(uri.isValid(), qPrintable(text));
        QCOMPARE(uri.scheme(), QStringLiteral("otpauth"));
        QCOMPARE(uri.host(), QStringLiteral("totp"));
        QCOMPARE(uri.path(QUrl::FullyDecoded), QStringLiteral("/Zelvora:") + kUser);
        const QUrlQuery query(uri);
        QCOMPARE(query.queryItemValue(QStringLiteral("issuer")), QStringLiteral("Zelvora"));
        QCOMPARE(query.queryItemValue(QStringLiteral("algorithm")), QStringLiteral("SHA1"));
        QCOMPARE(query.queryItemValue(QStringLiteral("digits")), QStringLiteral("6"));
        QCOMPARE(query.queryItemValue(QStringLiteral("period")), QStringLiteral("30"));
        QCOMPARE(query.queryItemValue(QStringLiteral("secret")),
                 widget<QLabel>("manualSecretLabel")->text().mid(kManualPrefix.size()));

        // Only an enrolment so far: nothing is switched on and the vault key is the same.
        const std::optional<core::TwoFactorState> state = twoFactor_->loadState();
        QVERIFY(state && !state->enabled && !state->pendingWrappedSecret.empty());
        QVERIFY(!dialog_->hasNewVaultKey());
    }

    void aCodeThatDoesNotMatchKeepsTheEnrolment_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("stepsAhead"); // > 0: the code of a later step is prefixed
        QTest::newRow("a code from outside the window") << QString() << 5;
        QTest::newRow("letters") << QStringLiteral("abcdef") << 0;
        QTest::newRow("digits and letters") << QStringLiteral("12ab56") << 0;
        QTest::newRow("a space inside") << QStringLiteral("123 45") << 0;
        QTest::newRow("nothing") << QString() << 0;
        // Typing a seventh digit is cut off at six: "9" and the right code's first five.
        QTest::newRow("seven digits") << QStringLiteral("9") << -1;
    }
    void aCodeThatDoesNotMatchKeepsTheEnrolment() {
        QFETCH(QString, typed);
        QFETCH(int, stepsAhead);
        startSession(caseName());
        openDialog();
        const SecureBuffer secret = startEnrolment();
        const QString manual = widget<QLabel>("manualSecretLabel")->text();
        const QString right = codeAt(secret, clock_);
        if (stepsAhead > 0) {
            typed = codeAt(secret, clock_, stepsAhead);
            for (int step = -1; step <= 1; ++step)
                QVERIFY(typed != codeAt(secret, clock_, step));
        } else if (stepsAhead < 0) {
            typed += right;
        }
        typeCode(typed);
        QVERIFY(widget<QLineEdit>("twoFactorCodeEdit")->text().size() <= 6);
        click("confirmTwoFactorButton");

        EXPECT_STATUS("twoFactorStatusLabel", kCodeMismatch, kRed);
        QVERIFY(shownOnTab("qrCodeLabel", 1));
        QVERIFY(!widget<QLabel>("qrCodeLabel")->pixmap().isNull());
        QCOMPARE(widget<QLabel>("manualSecretLabel")->text(), manual);
        QVERIFY(!twoFactor_->isEnabled());
        QVERIFY(!twoFactor_->transitionFileExists());
        QVERIFY(!dialog_->hasNewVaultKey());
        const auto content = vault_->readFile(kDocument);
        QVERIFY(content && test::bytesOf(*content) == kContent);
    }

    // Return in the code edit confirms, once, and no other button takes it; the vault is then
    // keyed with the two-factor key, which the dialog hands over.
    void aMatchingCodeEnablesTwoFactorAndRekeysTheVault() {
        startSession(caseName());
        openDialog();
        const SecureBuffer secret = startEnrolment();
        typeCode(codeAt(secret, clock_, 5));
        click("confirmTwoFactorButton");
        EXPECT_STATUS("twoFactorStatusLabel", kCodeMismatch, kRed);
        // A code one step old is still taken.
        typeCode(codeAt(secret, clock_, -1));
        QTest::keyClick(widget<QLineEdit>("twoFactorCodeEdit"), Qt::Key_Return);

        EXPECT_STATUS("twoFactorStatusLabel",
                      QStringLiteral("Two-factor authentication is enabled."), kGreen);
        for (const char* other :
             {"changePasswordStatusLabel", "maxSizeStatusLabel", "locationStatusLabel",
              "deleteVaultStatusLabel", "autoLockStatusLabel"})
            QVERIFY2(widget<QLabel>(other)->text().isEmpty(), other);
        QVERIFY(twoFactor_->isEnabled());
        QVERIFY(!twoFactor_->transitionFileExists());
        QVERIFY(!shownOnTab("qrCodeLabel", 1));
        QVERIFY(!shownOnTab("enableTwoFactorButton", 1));
        QVERIFY(shownOnTab("disableTwoFactorButton", 1));
        QVERIFY(widget<QLabel>("qrCodeLabel")->pixmap().isNull());
        QVERIFY(widget<QLabel>("manualSecretLabel")->text().isEmpty());
        const auto content = vault_->readFile(kDocument);
        QVERIFY(content && test::bytesOf(*content) == kContent);

        std::optional<SecureBuffer> key = dialog_->takeNewVaultKey();
        QVERIFY(key);
        QVERIFY(!dialog_->hasNewVaultKey());
        const std::optional<SecureBuffer> effective = twoFactor_->effectiveVaultKey(plainKey_);
        QVERIFY(effective && key->equals(*effective));
        endSession();
        QVERIFY(vaultOpensWith(folder_, *key));
        QVERIFY(!vaultOpensWith(folder_, plainKey_));
    }

    void cancellingEndsTheEnrolmentUnlessItIsBeingCommitted() {
        startSession(caseName());
        openDialog();
        startEnrolment();
        click("cancelTwoFactorButton");
        EXPECT_STATUS("twoFactorStatusLabel", QString(), QString());
        QVERIFY(shownOnTab("enableTwoFactorButton", 1));
        QVERIFY(!shownOnTab("qrCodeLabel", 1));
        QVERIFY(widget<QLabel>("manualSecretLabel")->text().isEmpty());
        std::optional<core::TwoFactorState> state = twoFactor_->loadState();
        QVERIFY(state && state->pendingWrappedSecret.empty() && !state->enabled);

        // A confirmed code whose re-key has not finished: the transition must be left for
        // start-up recovery to finish or roll back.
        const SecureBuffer secret = startEnrolment();
        QVERIFY(twoFactor_->confirmEnrollment(plainKey_, codeAt(secret, clock_),
                                              vault_->generationCounter()));
        click("cancelTwoFactorButton");
        EXPECT_STATUS("twoFactorStatusLabel",
                      QStringLiteral("Two-factor authentication is already being enabled and "
                                     "can't be cancelled now. Restart Zelvora to finish or roll "
                                     "back the change automatically."),
                      kRed);
        QVERIFY(shownOnTab("qrCodeLabel", 1));
        QVERIFY(twoFactor_->hasPendingTransition());
        state = twoFactor_->loadState();
        QVERIFY(state && !state->pendingWrappedSecret.empty());
    }

    // A password change in the middle of an enrolment would seal the pending secret under a key
    // nobody holds: it is refused before the password is even looked at.
    void aPasswordChangeDuringAnEnrolmentIsRefusedUnchecked() {
        startSession(caseName());
        openDialog();
        startEnrolment();
        const Snapshot before = snapshotOf(folder_);
        fillPasswords(QStringLiteral("Wrong-Password-9"), kNewPasswordText, kNewPasswordText);
        click("changePasswordButton");
        EXPECT_STATUS("changePasswordStatusLabel",
                      QStringLiteral("Finish or cancel setting up two-factor authentication before "
                                     "changing your password."),
                      kRed);
        // No failed attempt counted, nothing written.
        QCOMPARE(snapshotOf(folder_).keys(), before.keys());
        for (const char* file : {"identity.dat", "identity.dat.lockout", "floor.ini"})
            QCOMPARE(test::readWholeFile(at(file)), before.value(QLatin1String(file)));
        QVERIFY(shownOnTab("qrCodeLabel", 1));
    }

    void closingScrubsThePasswordsAndKeepsTheEnrolment_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("closed") << false;
        QTest::newRow("escape") << true;
    }
    void closingScrubsThePasswordsAndKeepsTheEnrolment() {
        QFETCH(bool, escape);
        startSession(caseName());
        openDialog();
        startEnrolment();
        fillPasswords(kPasswordText, kNewPasswordText, kNewPasswordText);
        if (escape)
            QTest::keyClick(dialog_.get(), Qt::Key_Escape);
        else
            dialog_->close();
        QVERIFY(!dialog_->isVisible());
        for (const char* field :
             {"currentPasswordEdit", "newPasswordEdit", "confirmNewPasswordEdit"})
            QVERIFY2(widget<QLineEdit>(field)->text().isEmpty(), field);
        const std::optional<core::TwoFactorState> state = twoFactor_->loadState();
        QVERIFY(state && !state->enabled && !state->pendingWrappedSecret.empty());
        QVERIFY(!twoFactor_->transitionFileExists());
    }

    // ---- disabling two-factor authentication ----

    void disablingNeedsThePasswordAndRekeysBack() {
        startSession(caseName());
        openDialog();
        const SecureBuffer secret = enableTwoFactor();
        QVERIFY(twoFactor_->isEnabled());
        const QString enabled = widget<QLabel>("twoFactorStatusLabel")->text();

        {
            test::GuiScript script;
            QString prompt;
            answerPassword(script, std::nullopt, &prompt);
            clickThrough("disableTwoFactorButton", script);
            QCOMPARE(prompt, QStringLiteral("Confirm Your Password|Type your master password to "
                                            "disable two-factor authentication:"));
            QCOMPARE(widget<QLabel>("twoFactorStatusLabel")->text(), enabled);
            QVERIFY(twoFactor_->isEnabled());
        }
        {
            test::GuiScript script;
            answerPassword(script, QStringLiteral("Wrong-Password-9"));
            clickThrough("disableTwoFactorButton", script);
            EXPECT_STATUS("twoFactorStatusLabel",
                          QStringLiteral("Incorrect password. Two-factor authentication not "
                                         "disabled."),
                          kRed);
            QVERIFY(twoFactor_->isEnabled());
            QVERIFY(!twoFactor_->transitionFileExists());
        }
        {
            test::GuiScript script;
            answerPassword(script, kPasswordText);
            clickThrough("disableTwoFactorButton", script);
            EXPECT_STATUS("twoFactorStatusLabel",
                          QStringLiteral("Two-factor authentication is disabled."), QString());
        }
        QVERIFY(!twoFactor_->isEnabled());
        QVERIFY(!twoFactor_->transitionFileExists());
        QVERIFY(shownOnTab("enableTwoFactorButton", 1));
        QVERIFY(!shownOnTab("disableTwoFactorButton", 1));
        const auto content = vault_->readFile(kDocument);
        QVERIFY(content && test::bytesOf(*content) == kContent);
        std::optional<SecureBuffer> key = dialog_->takeNewVaultKey();
        QVERIFY(key && key->equals(plainKey_));
        endSession();
        QVERIFY(vaultOpensWith(folder_, plainKey_));
        QVERIFY(!vaultOpensWith(folder_,
                                core::TwoFactorManager::deriveEffectiveKey(plainKey_, secret)));
    }

    // ---- password change ----

    void aRefusedPasswordChangeChangesNothing_data() {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<bool>("twoFactor");
        QTest::addColumn<QString>("message");
        QTest::newRow("mismatch") << kPasswordText << kNewPasswordText
                                  << kNewPasswordText + QStringLiteral("x") << false
                                  << QStringLiteral("New passwords do not match.");
        QTest::newRow("too weak") << kPasswordText << QStringLiteral("weakpassword")
                                  << QStringLiteral("weakpassword") << false
                                  << core::passwordPolicyViolation(QStringLiteral("weakpassword"));
        QTest::newRow("wrong current password")
            << QStringLiteral("Wrong-Password-9") << kNewPasswordText << kNewPasswordText << false
            << QStringLiteral("Current password is incorrect.");
        QTest::newRow("wrong current password, two-factor on")
            << QStringLiteral("Wrong-Password-9") << kNewPasswordText << kNewPasswordText << true
            << QStringLiteral("Current password is incorrect.");
    }
    void aRefusedPasswordChangeChangesNothing() {
        QFETCH(QString, current);
        QFETCH(QString, next);
        QFETCH(QString, confirmation);
        QFETCH(bool, twoFactor);
        QFETCH(QString, message);
        QVERIFY(!message.isEmpty());
        startSession(caseName());
        openDialog();
        if (twoFactor) {
            enableTwoFactor();
            QVERIFY(twoFactor_->isEnabled());
        }
        const QByteArray identity = test::readWholeFile(at("identity.dat"));
        fillPasswords(current, next, confirmation);
        click("changePasswordButton");
        EXPECT_STATUS("changePasswordStatusLabel", message, kRed);
        QCOMPARE(test::readWholeFile(at("identity.dat")), identity);
        QVERIFY(!auth_->transitionFileExists());
        QCOMPARE(widget<QLineEdit>("currentPasswordEdit")->text(), current);
    }

    void aPasswordChangeRekeysTheVault_data() {
        QTest::addColumn<bool>("twoFactor");
        QTest::newRow("two-factor off") << false;
        QTest::newRow("two-factor on") << true;
    }
    void aPasswordChangeRekeysTheVault() {
        QFETCH(bool, twoFactor);
        startSession(caseName());
        openDialog();
        SecureBuffer secret;
        if (twoFactor) {
            secret = enableTwoFactor();
            QVERIFY(twoFactor_->isEnabled());
        }
        fillPasswords(kPasswordText, kNewPasswordText, kNewPasswordText);
        click("changePasswordButton");
        EXPECT_STATUS("changePasswordStatusLabel", QStringLiteral("Password changed."), kGreen);
        QVERIFY(!auth_->transitionFileExists());
        const auto content = vault_->readFile(kDocument);
        QVERIFY(content && test::bytesOf(*content) == kContent);
        const std::optional<SecureBuffer> containerKey = dialog_->takeNewVaultKey();
        QVERIFY(containerKey && !containerKey->equals(plainKey_));
        endSession();

        core::AuthManager auth(at("identity.dat"), clock_, floor_);
        QVERIFY(!auth.login(kPassword, true, vaultId_, nullptr, nullptr));
        const std::optional<SecureBuffer> newKey =
            auth.login(kNewPassword, true, vaultId_, nullptr, nullptr);
        QVERIFY(newKey);
        core::TwoFactorManager twoFactorNow(at("twofactor.dat"), clock_);
        QCOMPARE(twoFactorNow.isEnabled(), twoFactor);
        if (twoFactor) {
            // The secret moved along with the key: the same authenticator app keeps working.
            const std::optional<SecureBuffer> unwrapped = twoFactorNow.unwrapSecret(*newKey);
            QVERIFY(unwrapped && unwrapped->equals(secret));
            QVERIFY(
                containerKey->equals(core::TwoFactorManager::deriveEffectiveKey(*newKey, secret)));
        } else {
            QVERIFY(containerKey->equals(*newKey));
        }
        QVERIFY(vaultOpensWith(folder_, *containerKey));
    }

    // A re-key that fails cleanly leaves everything as it was, and says so.
    void aRekeyThatFailsCleanlyChangesNothing_data() {
        QTest::addColumn<bool>("passwordChange");
        QTest::addColumn<QString>("message");
        QTest::newRow("password change")
            << true << QStringLiteral("Could not re-key the vault -- password not changed.");
        QTest::newRow("enabling two-factor")
            << false
            << QStringLiteral(
                   "Could not re-key the vault for two-factor authentication -- not enabled.");
    }
    void aRekeyThatFailsCleanlyChangesNothing() {
        QFETCH(bool, passwordChange);
        QFETCH(QString, message);
        startSession(caseName(), true, true);
        openDialog();
        if (passwordChange) {
            fillPasswords(kPasswordText, kNewPasswordText, kNewPasswordText);
            plan_->armFailure(1);
            click("changePasswordButton");
            EXPECT_STATUS("changePasswordStatusLabel", message, kRed);
        } else {
            const SecureBuffer secret = startEnrolment();
            typeCode(codeAt(secret, clock_));
            plan_->armFailure(1);
            click("confirmTwoFactorButton");
            EXPECT_STATUS("twoFactorStatusLabel", message, kRed);
            QVERIFY(!twoFactor_->isEnabled());
            QVERIFY(shownOnTab("enableTwoFactorButton", 1));
        }
        QVERIFY(plan_->fired());
        QVERIFY(!dialog_->hasNewVaultKey());
        QVERIFY(!auth_->transitionFileExists());
        QVERIFY(!twoFactor_->transitionFileExists());
        const auto content = vault_->readFile(kDocument);
        QVERIFY(content && test::bytesOf(*content) == kContent);
        endSession();
        QVERIFY(signsIn(folder_, kPassword));
        if (passwordChange)
            QVERIFY(!signsIn(folder_, kNewPassword));
    }

    // A change whose outcome is still open (the vault could not confirm its state) owns the
    // transition files: no second change may start and overwrite them before the next start.
    void aSecondChangeWaitsForAnUnfinishedOne() {
        startSession(caseName(), true, true);
        openDialog();
        fillPasswords(kPasswordText, kNewPasswordText, kNewPasswordText);
        plan_->armPowerLoss(1); // the commit and its undo both fail
        click("changePasswordButton");
        QVERIFY(widget<QLabel>("changePasswordStatusLabel")
                    ->text()
                    .startsWith(QStringLiteral("Something went wrong changing your password")));
        QVERIFY(auth_->hasPendingTransition());
        const QByteArray transition = test::readWholeFile(at("identity.dat.transition"));
        const QString waitText = QStringLiteral(
            "A previous change is still being finished. Restart Zelvora to finish or roll it back "
            "automatically.");

        click("changePasswordButton");
        EXPECT_STATUS("changePasswordStatusLabel", waitText, kRed);
        click("enableTwoFactorButton");
        EXPECT_STATUS("twoFactorStatusLabel", waitText, kRed);
        QVERIFY(!shownOnTab("qrCodeLabel", 1));
        QCOMPARE(test::readWholeFile(at("identity.dat.transition")), transition);
        QVERIFY(!twoFactor_->transitionFileExists());
    }

    // Return in a password field belongs to that field: it never presses a button of another
    // section (the first of which would start an enrolment).
    void returnInAPasswordFieldPressesNoOtherButton() {
        startSession(caseName());
        openDialog();
        widget<QTabWidget>("configureTabs")->setCurrentIndex(1);
        const Snapshot before = snapshotOf(folder_);
        for (const char* name :
             {"currentPasswordEdit", "newPasswordEdit", "confirmNewPasswordEdit"}) {
            auto* edit = widget<QLineEdit>(name);
            edit->setFocus();
            QTest::keyClick(edit, Qt::Key_Return);
        }
        QVERIFY(!shownOnTab("qrCodeLabel", 1));
        QVERIFY(widget<QLabel>("twoFactorStatusLabel")->text().isEmpty());
        QCOMPARE(snapshotOf(folder_), before);
    }

    // ---- crash safety of the re-keying ----

    // After the restart exactly one password signs in and reads the document back. The account
    // file holds one password: the old one while it is still the file the account was made with
    // (whose password is known to give plainKey_), the new one otherwise.
    void aPasswordChangeSurvivesACrashDuringTheRekey() {
        crashDuringRekey(
            [this] {
                fillPasswords(kPasswordText, kNewPasswordText, kNewPasswordText);
                return "changePasswordStatusLabel";
            },
            "changePasswordButton", false,
            [this](const QString& restart, const QString& where) {
                const bool oldAccount = test::readWholeFile(at(restart, "identity.dat")) ==
                                        template_.value(QStringLiteral("identity.dat"));
                const bool opens = oldAccount ? vaultOpensWith(restart, plainKey_)
                                              : signsIn(restart, kNewPassword);
                QVERIFY2(opens, qPrintable(where +
                                           (oldAccount ? QStringLiteral(": the old password")
                                                       : QStringLiteral(": the new password")) +
                                           QStringLiteral(" does not open the vault: ") +
                                           refusals_.join(QStringLiteral(" / "))));
            });
    }
    // After the restart the sign-in asks for a code exactly when the vault is keyed with the
    // two-factor key, and that sign-in opens it.
    void enablingTwoFactorSurvivesACrashAtEveryVaultWrite() {
        crashDuringRekey(
            [this] {
                const SecureBuffer secret = startEnrolment();
                typeCode(codeAt(secret, clock_));
                return "twoFactorStatusLabel";
            },
            "confirmTwoFactorButton", true,
            [this](const QString& restart, const QString& where) {
                // The account's key is the same throughout: signing in gives plainKey_.
                core::TwoFactorManager twoFactor(at(restart, "twofactor.dat"), clock_);
                const bool enabled = twoFactor.isEnabled();
                const std::optional<SecureBuffer> key =
                    enabled ? twoFactor.effectiveVaultKey(plainKey_)
                            : std::optional<SecureBuffer>(plainKey_.clone());
                QVERIFY2(key, qPrintable(where + QStringLiteral(": the secret does not unwrap")));
                QVERIFY2(vaultOpensWith(restart, *key),
                         qPrintable(where +
                                    (enabled ? QStringLiteral(": two-factor is on")
                                             : QStringLiteral(": two-factor is off")) +
                                    QStringLiteral(" and that sign-in does not open the vault: ") +
                                    refusals_.join(QStringLiteral(" / "))));
            });
    }

    // ---- without a vault ----

    void withoutAVaultNothingIsRekeyed() {
        startSession(caseName(), false);
        openDialog();
        QCOMPARE(widget<QLabel>("generalVaultStatsLabel")->text(),
                 QStringLiteral("Vault unavailable."));
        QCOMPARE(widget<QLabel>("vaultSizeLabel")->text(),
                 QStringLiteral("Vault size: unavailable."));
        QVERIFY(!widget<QPushButton>("deleteVaultButton")->isEnabled());
        click("enableTwoFactorButton");
        EXPECT_STATUS("twoFactorStatusLabel",
                      QStringLiteral("Vault unavailable -- cannot set up two-factor "
                                     "authentication right now."),
                      kRed);
        QVERIFY(!QFile::exists(at("twofactor.dat")));
        // Refused before any password check: a wrong password counts no failure.
        const QByteArray floor = test::readWholeFile(at("floor.ini"));
        fillPasswords(QStringLiteral("Wrong-Password-9"), kNewPasswordText, kNewPasswordText);
        click("changePasswordButton");
        EXPECT_STATUS("changePasswordStatusLabel",
                      QStringLiteral("Vault unavailable -- cannot change password right now."),
                      kRed);
        QVERIFY(!QFile::exists(at("identity.dat.lockout")));
        QCOMPARE(test::readWholeFile(at("floor.ini")), floor);
    }

    // ---- auto-lock ----

    void autoLockFollowsAndSavesTheSetting_data() {
        QTest::addColumn<int>("stored"); // -1: no file
        QTest::addColumn<QString>("shown");
        QTest::newRow("no file yet") << -1 << QStringLiteral("15 minutes");
        QTest::newRow("30 minutes") << 30 << QStringLiteral("30 minutes");
        QTest::newRow("never") << 0 << QStringLiteral("Never");
        QTest::newRow("a value not offered") << 7 << QStringLiteral("Never");
    }
    void autoLockFollowsAndSavesTheSetting() {
        QFETCH(int, stored);
        QFETCH(QString, shown);
        startSession(caseName(), false);
        if (stored >= 0)
            QVERIFY(core::saveIdleTimeoutMinutes(at("idlelock.dat"), stored));
        openDialog();
        auto* combo = widget<QComboBox>("autoLockComboBox");
        QCOMPARE(combo->currentText(), shown);
        QVERIFY(widget<QLabel>("autoLockStatusLabel")->text().isEmpty());
        QCOMPARE(core::loadIdleTimeoutMinutes(at("idlelock.dat")), stored < 0 ? 15 : stored);

        combo->setCurrentIndex(combo->findText(QStringLiteral("5 minutes")));
        EXPECT_STATUS("autoLockStatusLabel", QStringLiteral("Auto-lock timeout updated."), kGreen);
        QCOMPARE(core::loadIdleTimeoutMinutes(at("idlelock.dat")), 5);
        combo->setCurrentIndex(combo->findText(QStringLiteral("Never")));
        EXPECT_STATUS("autoLockStatusLabel", QStringLiteral("Auto-lock disabled."), kGreen);
        QCOMPARE(core::loadIdleTimeoutMinutes(at("idlelock.dat")), 0);
    }

    // ---- what the Security tab says protects the settings ----

    void localSecurityNamesWhatProtectsTheFiles_data() {
        QTest::addColumn<bool>("keyFile");
        QTest::addColumn<QString>("named");
        QTest::newRow("desktop keyring") << false << QStringLiteral("desktop keyring");
        QTest::newRow("user key file") << true << QStringLiteral("private file");
    }
    void localSecurityNamesWhatProtectsTheFiles() {
        QFETCH(bool, keyFile);
        QFETCH(QString, named);
        KeyFileProtection keyFileProtection(user_);
        if (keyFile)
            protect::setLocalProtectionServices(&tpm_, &keyFileProtection);
        startSession(caseName(), false);
        openDialog();
        const QString text = widget<QLabel>("localSecurityStatusLabel")->text();
        QVERIFY2(text.contains(named), qPrintable(text));
        QVERIFY2(keyFile || !text.contains(QStringLiteral("private file")), qPrintable(text));
        for (const char* windowsOnly : {"Windows", "DPAPI", "TPM-protected"})
            QVERIFY2(!text.contains(QLatin1String(windowsOnly)), qPrintable(text));
        QVERIFY(!shownOnTab("showRecoveryCodeButton", 1));
        endSession();
        protect::setLocalProtectionServices(&tpm_, &user_);
    }

    // ---- storage ----

    void theStorageTabFollowsTheBackend() {
        startSession(caseName());
        openDialog();
        QCOMPARE(widget<QLabel>("generalUsernameLabel")->text(),
                 QStringLiteral("Signed in as: ") + kUser);
        QCOMPARE(widget<QLabel>("generalVaultStatsLabel")->text(),
                 QStringLiteral("1 file(s), %1 bytes total").arg(kContent.size()));
        QCOMPARE(widget<QLabel>("storageStatusLabel")->text(),
                 QStringLiteral("Currently: container file (application data folder)."));
        QCOMPARE(widget<QLabel>("vaultSizeLabel")->text(),
                 QStringLiteral("Vault size: %1 bytes (1 file(s))").arg(kContent.size()));
        for (const char* enabled :
             {"locationDirectoryEdit", "browseLocationButton", "locationFileNameEdit",
              "applyLocationButton", "deleteVaultButton", "setUpRawDiskButton"})
            QVERIFY2(widget<QWidget>(enabled)->isEnabled(), enabled);
        QVERIFY(!widget<QWidget>("switchToContainerButton")->isEnabled());
        // This system can neither hide the file nor forbid this account deleting it.
        QVERIFY(!widget<QCheckBox>("hiddenCheckBox")->isEnabled());
        QVERIFY(!widget<QCheckBox>("deleteRestrictedCheckBox")->isEnabled());
        QCOMPARE(widget<QLineEdit>("locationDirectoryEdit")->text(), folder_);
        QCOMPARE(widget<QLineEdit>("locationFileNameEdit")->text(), QStringLiteral("vault.kvxs"));

        core::RawDiskClaim claim;
        claim.diskNumber = 2;
        claim.claimedLength = quint64(1) << 30;
        QVERIFY(storage_->setRawDiskClaim(claim));
        openDialog();
        // No disk has the claim's identity here: it is told as not connected.
        QCOMPARE(widget<QLabel>("storageStatusLabel")->text(),
                 QStringLiteral("Currently: unallocated disk partition (1.00 GiB from 0 bytes to "
                                "1.00 GiB of the disk that was disk 2 (not connected now))."));
        QVERIFY(widget<QLabel>("vaultSizeLabel")
                    ->text()
                    .endsWith(QStringLiteral("\nClaimed region: 1.00 GB")));
        for (const char* disabled :
             {"locationDirectoryEdit", "browseLocationButton", "locationFileNameEdit",
              "applyLocationButton", "hiddenCheckBox", "deleteRestrictedCheckBox",
              "setUpRawDiskButton"})
            QVERIFY2(!widget<QWidget>(disabled)->isEnabled(), disabled);
        QVERIFY(widget<QWidget>("switchToContainerButton")->isEnabled());
        // A vault in a claimed region is deleted too: the region is wiped at the next start.
        QVERIFY(widget<QWidget>("deleteVaultButton")->isEnabled());

        // Switching back asks first; Cancel changes nothing.
        {
            test::GuiScript script;
            QString question;
            answerQuestion(script, QMessageBox::Cancel, &question);
            clickThrough("switchToContainerButton", script);
            QVERIFY2(question.startsWith(QStringLiteral("Switch Back to Container File|")),
                     qPrintable(question));
            QVERIFY2(question.endsWith(QStringLiteral("\n\nContinue?")), qPrintable(question));
            QVERIFY2(!question.contains(QStringLiteral("LOCALAPPDATA")), qPrintable(question));
            QCOMPARE(storage_->backend(), core::StorageBackend::RawDisk);
        }
        {
            test::GuiScript script;
            answerQuestion(script, QMessageBox::Yes);
            clickThrough("switchToContainerButton", script);
        }
        EXPECT_STATUS("storageStatusLabel",
                      QStringLiteral("Switched back to the container file. Restart Zelvora to "
                                     "use it."),
                      kGreen);
        QCOMPARE(storage_->backend(), core::StorageBackend::Container);
        QVERIFY(widget<QWidget>("applyLocationButton")->isEnabled());
        QVERIFY(widget<QWidget>("deleteVaultButton")->isEnabled());
        QVERIFY(!widget<QWidget>("switchToContainerButton")->isEnabled());
    }

    void theSizeLimitAppliesAtOnce_data() {
        QTest::addColumn<qint64>("configured");
        QTest::addColumn<int>("shown");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("importFits");
        QTest::newRow("a limit set")
            << qint64(0) << 0 << 1 << QStringLiteral("Size limit set to 1 MB.") << false;
        // 1.5 MiB shows as 1: whole MiB, rounded down.
        QTest::newRow("the limit lifted")
            << qint64(1572864) << 1 << 0 << QStringLiteral("No size limit.") << true;
    }
    void theSizeLimitAppliesAtOnce() {
        QFETCH(qint64, configured);
        QFETCH(int, shown);
        QFETCH(int, chosen);
        QFETCH(QString, message);
        QFETCH(bool, importFits);
        startSession(caseName());
        // The limit the session opened the vault with.
        QVERIFY(storage_->setMaxVaultSizeBytes(configured));
        vault_->setMaxVaultSizeBytes(configured);
        openDialog();
        auto* spin = widget<QSpinBox>("maxSizeSpinBox");
        QCOMPARE(spin->value(), shown);
        spin->setValue(chosen);
        click("applyMaxSizeButton");
        EXPECT_STATUS("maxSizeStatusLabel", message, kGreen);
        QCOMPARE(storage_->maxVaultSizeBytes(), qint64(chosen) * 1048576);

        // 1.5 MiB: over a 1 MiB limit, and over the 1.5 MiB one with the document already in.
        const QString big = dir_.filePath(caseName(QStringLiteral("big.bin")));
        QVERIFY(test::writeFile(big, QByteArray(1572864, 'z')));
        QCOMPARE(vault_->importFile(big, QStringLiteral("big.bin")), importFits);
    }

    void aLocationThatIsNotValidIsRefused_data() {
        QTest::addColumn<QString>("folder"); // "<data>" is the data folder
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("message");
        const QString empty = QStringLiteral("Folder and file name cannot be empty.");
        QTest::newRow("no folder") << QString() << QStringLiteral("vault.kvxs") << empty;
        QTest::newRow("folder of spaces")
            << QStringLiteral("   ") << QStringLiteral("vault.kvxs") << empty;
        QTest::newRow("no file name") << QStringLiteral("<data>") << QStringLiteral(" ") << empty;
        QTest::newRow("relative folder")
            << QStringLiteral("vaults/mine") << QStringLiteral("vault.kvxs") << kLocalPathMessage;
        QTest::newRow("folder with ..") << QStringLiteral("<data>/../elsewhere")
                                        << QStringLiteral("vault.kvxs") << kLocalPathMessage;
        QTest::newRow("network path") << QStringLiteral("//server/share")
                                      << QStringLiteral("vault.kvxs") << kLocalPathMessage;
        QTest::newRow("network path, backslashes")
            << QStringLiteral("\\\\server\\share") << QStringLiteral("vault.kvxs")
            << kLocalPathMessage;
        QTest::newRow("name with a slash")
            << QStringLiteral("<data>") << QStringLiteral("a/b.kvxs") << kFileNameMessage;
        QTest::newRow("name with a backslash")
            << QStringLiteral("<data>") << QStringLiteral("a\\b.kvxs") << kFileNameMessage;
        QTest::newRow("name .") << QStringLiteral("<data>") << QStringLiteral(".")
                                << kFileNameMessage;
        QTest::newRow("name ..") << QStringLiteral("<data>") << QStringLiteral("..")
                                 << kFileNameMessage;
    }
    void aLocationThatIsNotValidIsRefused() {
        QFETCH(QString, folder);
        QFETCH(QString, fileName);
        QFETCH(QString, message);
        startSession(caseName(), false);
        openDialog();
        const QByteArray before = test::readWholeFile(at("storage.dat"));
        widget<QLineEdit>("locationDirectoryEdit")
            ->setText(folder.replace(QStringLiteral("<data>"), folder_));
        widget<QLineEdit>("locationFileNameEdit")->setText(fileName);
        click("applyLocationButton");
        EXPECT_STATUS("locationStatusLabel", message, kRed);
        QCOMPARE(test::readWholeFile(at("storage.dat")), before);
    }

    // Each row applies its locations in turn; the settings after the last one. The vault stays
    // where it is until the next start: every move starts from there.
    void aLocationIsStoredForTheNextStart_data() {
        QTest::addColumn<QStringList>("applied"); // folder|name; "<data>", "<dir>" expand
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("overrideDirectory");
        QTest::addColumn<QString>("overrideFileName");
        QTest::addColumn<bool>("movePending");
        QTest::newRow("the current location again")
            << QStringList{QStringLiteral("<data>|vault.kvxs")} << QStringLiteral("No change.")
            << QString() << QString() << false;
        QTest::newRow("the current location, spaces and a trailing slash")
            << QStringList{QStringLiteral("  <data>/ |  vault.kvxs ")}
            << QStringLiteral("No change.") << QString() << QString() << false;
        QTest::newRow("another folder")
            << QStringList{QStringLiteral("<dir>/elsewhere|vault.kvxs")} << kLocationUpdated
            << QStringLiteral("<dir>/elsewhere") << QString() << true;
        // File names are compared exactly: another case is another file.
        QTest::newRow("the name in capitals")
            << QStringList{QStringLiteral("<data>|Vault.kvxs")} << kLocationUpdated << QString()
            << QStringLiteral("Vault.kvxs") << true;
        QTest::newRow("moved twice before a restart")
            << QStringList{QStringLiteral("<dir>/first|vault.kvxs"),
                           QStringLiteral("<dir>/second|other.kvxs")}
            << kLocationUpdated << QStringLiteral("<dir>/second") << QStringLiteral("other.kvxs")
            << true;
        QTest::newRow("moved and back again")
            << QStringList{QStringLiteral("<dir>/first|vault.kvxs"),
                           QStringLiteral("<data>|vault.kvxs")}
            << QStringLiteral("No change.") << QString() << QString() << false;
    }
    void aLocationIsStoredForTheNextStart() {
        QFETCH(QStringList, applied);
        QFETCH(QString, message);
        QFETCH(QString, overrideDirectory);
        QFETCH(QString, overrideFileName);
        QFETCH(bool, movePending);
        startSession(caseName(), false);
        openDialog();
        const auto expand = [this](QString text) {
            return text.replace(QStringLiteral("<data>"), folder_)
                .replace(QStringLiteral("<dir>"), dir_.path());
        };
        for (const QString& location : applied) {
            widget<QLineEdit>("locationDirectoryEdit")
                ->setText(expand(location.section(QLatin1Char('|'), 0, 0)));
            widget<QLineEdit>("locationFileNameEdit")
                ->setText(location.section(QLatin1Char('|'), 1, 1));
            click("applyLocationButton");
        }
        EXPECT_STATUS("locationStatusLabel", message, kGreen);
        const core::ContainerSettings settings = storage_->containerSettings();
        QCOMPARE(settings.overrideDirectory, expand(overrideDirectory));
        QCOMPARE(settings.overrideFileName, overrideFileName);
        QCOMPARE(settings.pendingMigrateFromPath, movePending ? vaultPath() : QString());
    }

    // ---- deleting the vault ----

    void deletingTheVaultNeedsThePasswordAndAYes() {
        startSession(caseName());
        openDialog();
        const auto nothingScheduled = [this] {
            QVERIFY(storage_->pendingDeletePath().isEmpty());
            QVERIFY(widget<QPushButton>("deleteVaultButton")->isEnabled());
        };
        {
            test::GuiScript script;
            QString prompt;
            answerPassword(script, std::nullopt, &prompt);
            clickThrough("deleteVaultButton", script);
            QCOMPARE(prompt, QStringLiteral("Confirm Your Password|Type your master password to "
                                            "delete the vault:"));
            QVERIFY(widget<QLabel>("deleteVaultStatusLabel")->text().isEmpty());
            nothingScheduled();
        }
        {
            test::GuiScript script;
            answerPassword(script, QStringLiteral("Wrong-Password-9"));
            clickThrough("deleteVaultButton", script);
            EXPECT_STATUS("deleteVaultStatusLabel",
                          QStringLiteral("Incorrect password. Vault not deleted."), kRed);
            nothingScheduled();
        }
        const QByteArray identity = test::readWholeFile(at("identity.dat"));
        {
            test::GuiScript script;
            answerPassword(script, kPasswordText);
            answerQuestion(script, QMessageBox::Cancel);
            clickThrough("deleteVaultButton", script);
            nothingScheduled();
            QCOMPARE(test::readWholeFile(at("identity.dat")), identity);
        }
        {
            test::GuiScript script;
            QString warning;
            answerPassword(script, kPasswordText);
            answerQuestion(script, QMessageBox::Yes, &warning);
            clickThrough("deleteVaultButton", script);
            QCOMPARE(warning, QStringLiteral("Delete Vault|This will PERMANENTLY delete the vault "
                                             "at:\n%1\n\nand everything in it. This cannot be "
                                             "undone.\n\nContinue?")
                                  .arg(vaultPath()));
        }
        EXPECT_STATUS("deleteVaultStatusLabel",
                      QStringLiteral("The vault will be permanently deleted the next time you "
                                     "start Zelvora. Restart now to complete this."),
                      kGreen);
        QCOMPARE(storage_->pendingDeletePath(), vaultPath());
        QVERIFY(!widget<QPushButton>("deleteVaultButton")->isEnabled());

        // The password no longer unwraps the vault's key, whatever becomes of the deletion.
        endSession();
        core::AuthManager auth(at("identity.dat"), clock_, floor_);
        const std::optional<SecureBuffer> key =
            auth.login(kPassword, true, vaultId_, nullptr, nullptr);
        QVERIFY(key && !key->equals(plainKey_));
        QVERIFY(!vaultOpensWith(folder_, *key));
        QVERIFY(vaultOpensWith(folder_, plainKey_));
    }
};

QTEST_MAIN(ConfigureDialogTest)
#include "tst_configuredialog.moc"
