#pragma once

// Finding the session's windows from a GUI script.

#include "GuiScript.h"
#include "support/TestSupport.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "vault/VaultContainer.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

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

// Whether the running session's vault gives back the named file exactly.
inline QString documentState(const QString& name, const QByteArray& content) {
    vault::VaultContainer* vault = mainWindow() ? mainWindow()->container() : nullptr;
    const std::optional<crypto::PlaintextBuffer> stored =
        vault ? vault->readFile(name) : std::nullopt;
    return stored && test::bytesOf(*stored) == content ? QStringLiteral("document intact")
                                                       : QStringLiteral("document lost");
}

} // namespace korvex::test
