// The program itself, started the way main starts it (runApplication, with its real TPM store,
// PIN dialog and protection choice), driven through its windows by a scenario the way a user
// would. What the user would see is printed to standard output, one line each:
//
//   PIN new|use                 a TPM PIN prompt, answered with ZELVORA_TEST_PIN
//   BOX <title>|<text>          a message box, answered as the scenario says
//   CODE <recovery code>        the code Configure showed
//   DOCUMENT intact|lost        the document read back from the vault
//   STEP <name>                 a step of the scenario done
//
// The scenario is ZELVORA_TEST_SCENARIO:
//   first-run    create the account (ZELVORA_TEST_USER, ZELVORA_TEST_PASSWORD), import
//                ZELVORA_TEST_DOCUMENT, show the recovery code, sign out, sign in, read, close
//   restore      at the refusal that offers it, restore with ZELVORA_TEST_CODE, sign in, read,
//                close
//   refused      acknowledge whatever refusal comes, and nothing else
//   without-tpm  go on without the TPM when asked, create the account, close
//   sign-in      sign in, read, close
// The exit status is the program's.

#include "GuiScript.h"
#include "SessionWindows.h"
#include "app/Startup.h"
#include "ui/TpmPinDialog.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>

using namespace korvex;
using test::child;
using test::GuiScript;
using test::mainWindow;
using test::mainWindowReady;

namespace {

QString setting(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name));
}

// One line each: line breaks in what is shown are written as "\n".
void say(QString line) {
    line.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Answers every TPM PIN prompt with the scenario's PIN, whatever step the script is at.
void answerPinPrompts() {
    test::answerPinPrompts(
        *new QTimer(qApp), [] { return setting("ZELVORA_TEST_PIN"); },
        [](const QString& what) { say(QStringLiteral("PIN ") + what); });
}

// The next message box, told and answered with its button named button (or its default).
void answerBox(GuiScript& script, const QString& step, const char* button = nullptr) {
    script.onModal<QMessageBox>(step, [button](QMessageBox* box) {
        say(QStringLiteral("BOX ") + box->windowTitle() + QLatin1Char('|') + box->text());
        QAbstractButton* chosen = button ? child<QPushButton>(box, button) : nullptr;
        if (chosen == nullptr)
            chosen = box->defaultButton() ? box->defaultButton() : box->buttons().value(0);
        GuiScript::clickLater(chosen);
    });
}

void signInReadAndClose(GuiScript& script) {
    test::signInWith(script, QStringLiteral("sign in"), setting("ZELVORA_TEST_PASSWORD"));
    script.add(QStringLiteral("read the document and close"), mainWindowReady, [] {
        say(QStringLiteral("DOCUMENT ") +
            test::documentState(QFileInfo(setting("ZELVORA_TEST_DOCUMENT")).fileName(),
                                test::readWholeFile(setting("ZELVORA_TEST_DOCUMENT")))
                .section(QLatin1Char(' '), 1));
        MainWindow* window = mainWindow();
        GuiScript::later([window] { window->close(); });
    });
}

void runScenario() {
    answerPinPrompts();
    auto* script = new GuiScript(60000);
    script->setParent(qApp);
    const QString scenario = setting("ZELVORA_TEST_SCENARIO");
    if (scenario == QStringLiteral("first-run")) {
        test::createAccount(*script, setting("ZELVORA_TEST_USER"),
                            setting("ZELVORA_TEST_PASSWORD"));
        script->add(QStringLiteral("import the document"), mainWindowReady, [] {
            const QString path = setting("ZELVORA_TEST_DOCUMENT");
            if (mainWindow()->container()->importFile(path, QFileInfo(path).fileName()))
                say(QStringLiteral("STEP imported"));
        });
        test::showRecoveryCode(*script, setting("ZELVORA_TEST_PASSWORD"),
                               [](const QString& code) { say(QStringLiteral("CODE ") + code); });
        script->add(QStringLiteral("sign out"), mainWindowReady, [] {
            say(QStringLiteral("STEP signed out"));
            QAction* signOut = mainWindow()->findChild<QAction*>(QStringLiteral("signOutAction"));
            GuiScript::later([signOut] { signOut->trigger(); });
        });
        test::answerQuestion(*script, QMessageBox::Yes);
        signInReadAndClose(*script);
    } else if (scenario == QStringLiteral("restore")) {
        answerBox(*script, QStringLiteral("the restore offered"), "restoreOfferButton");
        test::answerText(*script, QStringLiteral("the code"), setting("ZELVORA_TEST_CODE"));
        answerBox(*script, QStringLiteral("restored"));
        signInReadAndClose(*script);
    } else if (scenario == QStringLiteral("refused")) {
        answerBox(*script, QStringLiteral("the refusal"));
    } else if (scenario == QStringLiteral("without-tpm")) {
        answerBox(*script, QStringLiteral("the TPM not usable"), "continueWithoutTpmButton");
        test::createAccount(*script, setting("ZELVORA_TEST_USER"),
                            setting("ZELVORA_TEST_PASSWORD"));
        script->add(QStringLiteral("close"), mainWindowReady, [] {
            say(QStringLiteral("STEP signed in"));
            MainWindow* window = mainWindow();
            GuiScript::later([window] { window->close(); });
        });
    } else if (scenario == QStringLiteral("sign-in")) {
        signInReadAndClose(*script);
    }
    // Anything else that comes up is reported and closed, so that the program ends.
    auto* watch = new QTimer(qApp);
    QObject::connect(watch, &QTimer::timeout, [script, reported = false]() mutable {
        if (!script->finished())
            return;
        if (!script->failure().isEmpty() && !reported) {
            say(QStringLiteral("FAILED ") + script->failure());
            reported = true;
        }
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            say(QStringLiteral("UNEXPECTED ") +
                QString::fromLatin1(dialog->metaObject()->className()) + QLatin1Char(' ') +
                dialog->windowTitle());
            dialog->reject();
        }
    });
    watch->start(100);
    script->start();
}

// The application object has just been made: the scenario starts with its event loop.
void installScenario() {
    QTimer::singleShot(0, [] { runScenario(); });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installScenario)

int main(int argc, char** argv) {
    return app::runApplication(argc, argv);
}
