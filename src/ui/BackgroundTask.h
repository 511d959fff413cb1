#pragma once

#include "crypto/PasswordHasher.h"
#include "vault/TransferProgress.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;

namespace korvex::ui {

// Runs long vault work (an import with its erase, an export, the read behind a view) on a
// worker thread while the window stays painted and answers the session's events. Work that
// ends quickly shows nothing; after kShowDelayMs a modal progress dialog shows the step, the
// bytes done of the total, and Cancel while the work may still stop. User input is held back
// until then, so nothing else touches the vault while the worker has it: one task runs at a
// time, and only the interface thread starts, stops or waits for it.
class BackgroundTask {
public:
    static constexpr int kShowDelayMs = 400;

    // Runs work to its end and returns then. progress is what work reports to; title heads the
    // dialog, subject (a file name) is shown under it. Should another task still be running,
    // the work runs right here instead.
    static void run(QWidget* parent, const QString& title, const QString& subject,
                    vault::TransferProgress& progress, const std::function<void()>& work);

    // For the session wipe: asks the running task, if any, to stop at its next safe point and
    // waits until it has ended. Work that may no longer stop (a commit, an erase) is waited for
    // to its end.
    static void stopAndWait();
    static bool isRunning();

    // Called on the worker thread with each report of every task started from here on; for
    // whatever follows the work from outside (tests, tools). Empty to stop.
    static void setObserver(vault::TransferProgress::Observer observer);

    // Keeps the window painted and the session's events handled until finished() is true;
    // what the user does meanwhile waits. For short work on other threads (a sign-in's key
    // derivation), whose dialog shows by itself that it is working.
    static void waitWithoutInput(const std::function<bool()>& finished);

    // The words for a step, as the dialog shows them.
    static QString stepText(vault::TransferStep step);
};

// A dialog working out a password (a sign-in, a new account): while this lives, the password
// runs go to threads of their own and this thread waits for them with waitWithoutInput, the
// dialog's widgets are switched off and button says text. When it ends, input that came
// meanwhile is delivered to the switched-off widgets (and so ignored) before they come back.
class WorkingState {
public:
    WorkingState(QWidget* dialog, QAbstractButton* button, const QString& text);
    ~WorkingState();
    WorkingState(const WorkingState&) = delete;
    WorkingState& operator=(const WorkingState&) = delete;

private:
    QAbstractButton* button_;
    QString buttonText_;
    QList<QPointer<QWidget>> switchedOff_;
    crypto::PasswordHasher::WaitScope wait_;
};

} // namespace korvex::ui
