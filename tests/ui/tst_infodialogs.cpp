#include "core/AuthManager.h"
#include "platform/UserKeyFileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "support/PlatformDoubles.h"
#include "ui/AboutDialog.h"
#include "ui/HelpDialog.h"
#include "ui/RecoveryCodeDialog.h"
#include "ui/SecretClipboard.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace korvex;

namespace {

template <typename T> T* child(const QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (found == nullptr)
        qFatal("no child named %s", name);
    return found;
}

// Every text a dialog shows: its title, its labels and its tab titles.
QStringList shownTexts(const QWidget& dialog) {
    QStringList texts{dialog.windowTitle()};
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        texts.append(label->text());
    for (const QTabWidget* tabs : dialog.findChildren<QTabWidget*>()) {
        for (int i = 0; i < tabs->count(); ++i)
            texts.append(tabs->tabText(i));
    }
    return texts;
}

const QString kCode = QStringLiteral("JBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXPJBSW");

} // namespace

class InfoDialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    test::FakeSealedKeyStore tpm_;
    test::FakeUserDataProtection keyring_;
    std::unique_ptr<platform::UserKeyFileDataProtection> keyFile_;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        keyFile_ = std::make_unique<platform::UserKeyFileDataProtection>(
            dir_.filePath(QStringLiteral("config/Zelvora/user-data-protection.key")));
    }
    void cleanupTestCase() {
        protect::LocalIntegrityKey::clearRootCache();
        protect::setLocalProtectionServices(nullptr, nullptr);
    }

    // The code reads in groups of four without its padding, selectable; Copy puts it on the
    // clipboard until the clearing time has passed (unless something else was copied since).
    void recoveryCodeIsShownSelectableAndWiped() {
        RecoveryCodeDialog dialog(kCode + QStringLiteral("===="));
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Recovery Code"));
        auto* label = child<QLabel>(dialog, "recoveryCodeLabel");
        QVERIFY(label->text().startsWith(QStringLiteral(
            "Save this recovery code somewhere safe and separate from this device.")));
        const QString grouped =
            QStringLiteral("JBSW-Y3DP-EHPK-3PXP-JBSW-Y3DP-EHPK-3PXP-JBSW-Y3DP-EHPK-3PXP-JBSW");
        QVERIFY(label->text().contains(QStringLiteral("\n\n") + grouped + QStringLiteral("\n\n")));
        QVERIFY(!label->text().contains(QLatin1Char('=')));
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(label->wordWrap());

        ui::SecretClipboard& secret = ui::SecretClipboard::instance();
        QTest::mouseClick(child<QPushButton>(dialog, "recoveryCodeCopyButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), grouped);
        QVERIFY(secret.isPending());
        QCOMPARE(secret.clearAfterMs(), 30000);
        secret.clearNow(); // the time has passed
        QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
        QTest::mouseClick(child<QPushButton>(dialog, "recoveryCodeCopyButton"), Qt::LeftButton);
        QGuiApplication::clipboard()->setText(QStringLiteral("the user's own"));
        secret.clearNow();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("the user's own"));

        dialog.wipe();
        QVERIFY(label->text().isEmpty());
        dialog.wipe();               // a second wipe is harmless
        QVERIFY(dialog.isVisible()); // the session wipe closes windows itself

        auto* buttons = dialog.findChild<QDialogButtonBox*>();
        QVERIFY(buttons != nullptr);
        QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void helpLocalSecurityTellsWhatProtectsTheKey_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("opening");
        QTest::newRow("tpm") << QStringLiteral("tpm")
                             << QStringLiteral("Yes. This PC has a usable TPM, and Zelvora is "
                                               "using it");
        QTest::newRow("keyring") << QStringLiteral("keyring")
                                 << QStringLiteral(
                                        "No usable TPM was found on this PC (or it could not be "
                                        "used), so Zelvora is protecting your local account files "
                                        "with a key kept in your desktop keyring");
        QTest::newRow("user key file")
            << QStringLiteral("keyfile")
            << QStringLiteral("No usable TPM was found on this PC (or it could not be used), and "
                              "no desktop keyring (Secret Service) is available");
        QTest::newRow("no key yet")
            << QStringLiteral("none")
            << QStringLiteral("Zelvora could not load the key that protects "
                              "your local account files right now");
        // A TPM-sealed key whose TPM was since cleared claims no protection at all.
        QTest::newRow("tpm cleared") << QStringLiteral("tpm-cleared")
                                     << QStringLiteral("Zelvora could not load the key that "
                                                       "protects your local account files");
    }
    void helpLocalSecurityTellsWhatProtectsTheKey() {
        QFETCH(QString, setup);
        QFETCH(QString, opening);
        const QString folder = dir_.filePath(setup);
        QVERIFY(QDir().mkpath(folder));
        const QString identity = folder + QStringLiteral("/identity.dat");

        const bool tpm = setup.startsWith(QStringLiteral("tpm"));
        tpm_.mode = tpm ? test::FakeSealedKeyStore::Mode::Works
                        : test::FakeSealedKeyStore::Mode::NoProvider;
        if (setup == QStringLiteral("keyfile"))
            protect::setLocalProtectionServices(&tpm_, keyFile_.get());
        else
            protect::setLocalProtectionServices(&tpm_, &keyring_);
        protect::LocalIntegrityKey::clearRootCache();
        if (setup != QStringLiteral("none"))
            QVERIFY(!protect::LocalIntegrityKey::getOrCreateKey(identity + QStringLiteral(".key"))
                         .empty());
        if (setup == QStringLiteral("tpm-cleared")) {
            tpm_.reset();
            protect::LocalIntegrityKey::clearRootCache();
        }

        core::AuthManager auth(identity);
        HelpDialog dialog(auth);
        const QString status = child<QLabel>(dialog, "helpTpmStatusLabel")->text();
        QVERIFY2(status.startsWith(opening), qPrintable(status));
        QVERIFY(child<QLabel>(dialog, "helpTpmStatusLabel")->wordWrap());
        if (setup == QStringLiteral("keyfile"))
            QVERIFY(status.contains(QStringLiteral("~/.config/Zelvora")));
    }

    void helpLayoutAndLinuxWording() {
        tpm_.mode = test::FakeSealedKeyStore::Mode::NoProvider;
        protect::setLocalProtectionServices(&tpm_, &keyring_);
        core::AuthManager auth(dir_.filePath(QStringLiteral("layout/identity.dat")));
        HelpDialog dialog(auth);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Zelvora - Help"));
        QVERIFY(dialog.minimumWidth() >= 520 && dialog.minimumHeight() >= 480);

        auto* tabs = child<QTabWidget>(dialog, "helpTabs");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Manual"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Warnings"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("Local Security"));
        const QList<QLabel*> manualHeadings = [&] {
            QList<QLabel*> headings;
            for (QLabel* label : tabs->widget(0)->findChildren<QLabel*>())
                if (label->property("role").toString() == QStringLiteral("heading"))
                    headings.append(label);
            return headings;
        }();
        QCOMPARE(manualHeadings.size(), 5);
        QCOMPARE(manualHeadings.first()->text(), QStringLiteral("Getting started"));
        for (int i = 0; i < tabs->count(); ++i) {
            auto* scroll = qobject_cast<QScrollArea*>(tabs->widget(i));
            QVERIFY(scroll != nullptr);
            QVERIFY(scroll->widgetResizable());
            QCOMPARE(scroll->frameShape(), QFrame::NoFrame);
        }

        // Nothing in the guide sends a Linux user looking for a Windows mechanism.
        for (const QString& text : shownTexts(dialog)) {
            for (const char* word : {"Windows", "DPAPI", "Administrator", "Explorer"})
                QVERIFY2(!text.contains(QLatin1String(word)), qPrintable(text));
        }

        QTest::mouseClick(child<QPushButton>(dialog, "helpCloseButton"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void aboutShowsTheVersionAndCloses() {
        AboutDialog dialog;
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("About Zelvora"));
        QVERIFY(shownTexts(dialog).contains(QStringLiteral("Version 4.0.3")));
        QVERIFY(shownTexts(dialog).contains(QStringLiteral("Built with Qt6 and libsodium.")));
        auto* close = child<QPushButton>(dialog, "aboutCloseButton");
        QVERIFY(close->property("accent").toBool());
        QTest::mouseClick(close, Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
};

QTEST_MAIN(InfoDialogsTest)
#include "tst_infodialogs.moc"
