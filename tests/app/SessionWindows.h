#pragma once

// Finding the session's windows from a GUI script.

#include "GuiScript.h"
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
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace korvex::test {

// The visible main window of the running session, if any.
inline MainWindow* mainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<MainWindow*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// The main window is up and nothing modal covers it.
inline bool mainWindowReady() {
    return mainWindow() && !QApplication::activeModalWidget();
}

template <typename T> T* child(QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

// The first-run wizard filled in, and Create.
inline void createAccount(GuiScript& script, const QString& user, const QString& password) {
    script.onModal<FirstRunWizard>(
        QStringLiteral("create the account"), [user, password](FirstRunWizard* wizard) {
            child<QLineEdit>(wizard, "firstRunUsernameEdit")->setText(user);
            child<QLineEdit>(wizard, "firstRunPasswordEdit")->setText(password);
            child<QLineEdit>(wizard, "firstRunConfirmEdit")->setText(password);
            child<QPushButton>(wizard, "firstRunCreateButton")->click();
        });
}

// The login dialog given the password, and Unlock.
inline void signInWith(GuiScript& script, const QString& step, const QString& password) {
    script.onModal<LoginDialog>(step, [password](LoginDialog* login) {
        child<QLineEdit>(login, "loginPasswordEdit")->setText(password);
        child<QPushButton>(login, "loginUnlockButton")->click();
    });
}

// Answers every TPM PIN prompt as it comes up, whatever step a script is at, from timer: with the
// PIN pin() gives (typed twice for a new key), or with Cancel when cancel() says so. asked hears
// "new", "use" or "cancelled".
inline void answerPinPrompts(QTimer& timer, std::function<QString()> pin,
                             std::function<void(const QString&)> asked,
                             std::function<bool()> cancel = {}) {
    QObject::connect(&timer, &QTimer::timeout, [pin, asked, cancel] {
        auto* dialog = qobject_cast<ui::TpmPinDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible() || dialog->property("answered").toBool())
            return;
        dialog->setProperty("answered", true);
        if (cancel && cancel()) {
            asked(QStringLiteral("cancelled"));
            GuiScript::clickLater(child<QPushButton>(dialog, "tpmPinCancelButton"));
            return;
        }
        auto* confirm = child<QLineEdit>(dialog, "tpmPinConfirmField");
        asked(confirm ? QStringLiteral("new") : QStringLiteral("use"));
        child<QLineEdit>(dialog, "tpmPinField")->setText(pin());
        if (confirm)
            confirm->setText(pin());
        GuiScript::clickLater(child<QPushButton>(dialog, "tpmPinOkButton"));
    });
    timer.setInterval(25);
    timer.start();
}

// Configure > Show Recovery Code with the master password, from the main window: code hears the
// code as shown (thirteen groups of four), and onConfigure, when given, sees the settings dialog
// before the button is pressed. Configure is closed afterwards.
inline void showRecoveryCode(GuiScript& script, const QString& password,
                             std::function<void(const QString&)> code,
                             std::function<void(ConfigureDialog*)> onConfigure = {}) {
    script.add(QStringLiteral("open Configure"), mainWindowReady, [] {
        QAction* configure = mainWindow()->findChild<QAction*>(QStringLiteral("configureAction"));
        GuiScript::later([configure] { configure->trigger(); });
    });
    script.onModal<ConfigureDialog>(
        QStringLiteral("show the code"), [onConfigure](ConfigureDialog* dialog) {
            if (onConfigure)
                onConfigure(dialog);
            GuiScript::clickLater(child<QPushButton>(dialog, "showRecoveryCodeButton"));
        });
    answerText(script, QStringLiteral("the password"), password);
    script.onModal<RecoveryCodeDialog>(QStringLiteral("the code"), [code](RecoveryCodeDialog* d) {
        static const QRegularExpression shown(
            QStringLiteral("\\n\\n((?:[A-Z2-7]{4}-){12}[A-Z2-7]{4})\\n\\n"));
        code(shown.match(child<QLabel>(d, "recoveryCodeLabel")->text()).captured(1));
        GuiScript::later([d] { d->accept(); });
    });
    script.add(
        QStringLiteral("close Configure"),
        [] { return qobject_cast<ConfigureDialog*>(QApplication::activeModalWidget()); },
        [] {
            auto* dialog = qobject_cast<ConfigureDialog*>(QApplication::activeModalWidget());
            GuiScript::later([dialog] { dialog->reject(); });
        });
}

// Whether the running session's vault gives back the named file exactly.
inline QString documentState(const QString& name, const QByteArray& content) {
    vault::VaultContainer* vault = mainWindow() ? mainWindow()->container() : nullptr;
    const std::optional<crypto::PlaintextBuffer> stored =
        vault ? vault->readFile(name) : std::nullopt;
    return stored && test::bytesOf(*stored) == content ? QStringLiteral("document intact")
                                                       : QStringLiteral("document lost");
}

} // namespace korvex::test
