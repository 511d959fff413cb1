#include "app/GuiScript.h"
#include "app/SessionWindows.h"
#include "protect/LocalIntegrityKey.h"
#include "support/ProcessMemory.h"
#include "ui/TpmPinDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <thread>

using namespace korvex;
using platform::PinRequest;
using protect::LocalIntegrityKey;
using test::child;
using test::GuiScript;
using ui::TpmPinDialog;

namespace {

// A long PIN found nowhere else, kept in read-only data so that looking for it does not find the
// test's own copy. Typed a key at a time, a text this long outgrows a field's first buffers.
constexpr char16_t kPinText[] = u"Qz7#kW9!pX-mT4vB2nL8hR5cY1gD6sF3aJ0eU7wK";
constexpr char kPinBytes[] = "Qz7#kW9!pX-mT4vB2nL8hR5cY1gD6sF3aJ0eU7wK";
constexpr qsizetype kPinLength = 40;
// Its first half: a copy of the PIN as far as it was typed then, left behind by a field that
// moved its text to a larger buffer, would hold it.
constexpr qsizetype kPrefixLength = 20;

QString pinText() {
    return QString::fromRawData(reinterpret_cast<const QChar*>(kPinText), kPinLength);
}

} // namespace

class TestTpmPinDialog : public QObject {
    Q_OBJECT

private slots:
    // A new PIN is typed twice: OK waits until it is long enough and both match, and what comes
    // back is the PIN, with nothing left in the fields.
    void aNewPinIsTypedTwice() {
        ui::TpmPinPrompt prompt;
        QStringList seen;
        GuiScript script;
        script.onModal<TpmPinDialog>(QStringLiteral("choose the PIN"), [&](TpmPinDialog* dialog) {
            seen << dialog->windowTitle();
            auto* pin = child<QLineEdit>(dialog, "tpmPinField");
            auto* confirm = child<QLineEdit>(dialog, "tpmPinConfirmField");
            auto* ok = child<QPushButton>(dialog, "tpmPinOkButton");
            auto* message = child<QLabel>(dialog, "tpmPinMessage");
            QCOMPARE(pin->echoMode(), QLineEdit::Password);
            seen << (ok->isEnabled() ? QStringLiteral("ok on") : QStringLiteral("ok off"));
            pin->setText(QStringLiteral("246"));
            seen << message->text();
            pin->setText(QStringLiteral("2468"));
            confirm->setText(QStringLiteral("2469"));
            seen << message->text();
            seen << (ok->isEnabled() ? QStringLiteral("ok on") : QStringLiteral("ok off"));
            confirm->setText(QStringLiteral("2468"));
            seen << (ok->isEnabled() ? QStringLiteral("ok on") : QStringLiteral("ok off"));
            GuiScript::clickLater(ok);
        });
        script.start();
        const std::optional<crypto::SecureBuffer> pin =
            prompt.askForPin(LocalIntegrityKey::sealingPrompt(), PinRequest::NewPin, {});
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QVERIFY(pin.has_value());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(pin->data()), int(pin->size())),
                 QByteArray("2468"));
        QCOMPARE(seen, (QStringList{QStringLiteral("Zelvora"), QStringLiteral("ok off"),
                                    QStringLiteral("The PIN must have at least 4 characters."),
                                    QStringLiteral("The two PINs do not match."),
                                    QStringLiteral("ok off"), QStringLiteral("ok on")}));
    }

    // After a wrong PIN the prompt says so; Cancel gives no PIN. Only the interface thread may
    // ask, and a lockout is told in words.
    void aWrongPinIsSaidAndCancelGivesNothing() {
        ui::TpmPinPrompt prompt;
        QString message;
        bool hasConfirm = true;
        GuiScript script;
        script.onModal<TpmPinDialog>(QStringLiteral("cancel"), [&](TpmPinDialog* dialog) {
            message = child<QLabel>(dialog, "tpmPinMessage")->text();
            hasConfirm = dialog->findChild<QLineEdit*>(QStringLiteral("tpmPinConfirmField"));
            child<QLineEdit>(dialog, "tpmPinField")->setText(QStringLiteral("1357"));
            GuiScript::clickLater(child<QPushButton>(dialog, "tpmPinCancelButton"));
        });
        script.onModal<QMessageBox>(QStringLiteral("locked out"), [&](QMessageBox* box) {
            message += QLatin1Char('|') + box->text();
            GuiScript::clickLater(box->button(QMessageBox::Ok));
        });
        script.start();
        QVERIFY(!prompt.askForPin(LocalIntegrityKey::sealingPrompt(), PinRequest::WrongPin, {})
                     .has_value());
        prompt.tellLockedOut(LocalIntegrityKey::sealingPrompt(), {});
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QVERIFY(!hasConfirm);
        QCOMPARE(message, QStringLiteral("That PIN is not right. Try again.|") +
                              ui::TpmPinPrompt::lockedOutText({}));

        std::optional<crypto::SecureBuffer> offThread = crypto::SecureBuffer();
        std::thread worker([&] {
            offThread = prompt.askForPin(LocalIntegrityKey::sealingPrompt(), PinRequest::Pin, {});
        });
        worker.join();
        QVERIFY(!offThread.has_value());
    }

    // The PIN, typed as a user types it, is in the fields while the dialog is up; once it has
    // been taken and the dialog is gone, no copy of it, nor of any half-typed part of it, is left
    // anywhere in the process's memory, in the fields' UTF-16 or as UTF-8.
    void noCopyOfThePinOutlivesTheDialog() {
        ui::TpmPinPrompt prompt;
        int whileTyped = 0;
        GuiScript script;
        script.onModal<TpmPinDialog>(QStringLiteral("type the PIN"), [&](TpmPinDialog* dialog) {
            QTest::keyClicks(child<QLineEdit>(dialog, "tpmPinField"), pinText());
            QTest::keyClicks(child<QLineEdit>(dialog, "tpmPinConfirmField"), pinText());
            whileTyped = test::occurrencesInMemory(std::u16string_view(kPinText, kPinLength));
            GuiScript::clickLater(child<QPushButton>(dialog, "tpmPinOkButton"));
        });
        script.start();
        std::optional<crypto::SecureBuffer> pin =
            prompt.askForPin(LocalIntegrityKey::sealingPrompt(), PinRequest::NewPin, {});
        QVERIFY2(script.finished(), qPrintable(script.failure()));
        QVERIFY(pin.has_value());
        // Compared in place: a copy made here would be found below.
        QVERIFY(pin->size() == std::size_t(kPinLength) &&
                std::memcmp(pin->data(), kPinBytes, pin->size()) == 0);
        pin.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        QVERIFY2(whileTyped >= 2, qPrintable(QString::number(whileTyped)));
        QCOMPARE(test::occurrencesInMemory(std::u16string_view(kPinText, kPrefixLength)), 0);
        QCOMPARE(test::occurrencesInMemory(std::string_view(kPinBytes, kPrefixLength)), 0);
    }
};

QTEST_MAIN(TestTpmPinDialog)
#include "tst_tpmpindialog.moc"
