#include "ui/BackgroundTask.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

namespace korvex::ui {

namespace {

constexpr int kPollMs = 15;
constexpr int kRefreshMs = 100;
constexpr int kBarSteps = 1000;

// The task the worker is on; touched only on the interface thread.
struct Running {
    std::thread thread;
    vault::TransferProgress* progress = nullptr;
    std::atomic<bool> finished{false};
    std::exception_ptr failure;
};
Running* gRunning = nullptr;
vault::TransferProgress::Observer gObserver;

// The modal face of a task that takes a while. Closing it (Escape, the window's close button)
// is Cancel; it goes away by itself once the work has ended.
class ProgressDialog : public QDialog {
public:
    ProgressDialog(QWidget* parent, const QString& title, const QString& subject, Running& running)
        : QDialog(parent), running_(running) {
        setObjectName(QStringLiteral("transferProgressDialog"));
        setWindowTitle(title);
        setModal(true);
        setMinimumWidth(420);

        auto* subjectLabel = new QLabel(subject, this);
        subjectLabel->setTextFormat(Qt::PlainText);
        subjectLabel->setWordWrap(true);
        stepLabel_ = new QLabel(this);
        stepLabel_->setObjectName(QStringLiteral("transferStepLabel"));
        stepLabel_->setTextFormat(Qt::PlainText);
        bar_ = new QProgressBar(this);
        bar_->setRange(0, kBarSteps);
        cancelButton_ = new QPushButton(tr("Cancel"), this);
        cancelButton_->setObjectName(QStringLiteral("transferCancelButton"));
        cancelButton_->setAutoDefault(false);
        connect(cancelButton_, &QPushButton::clicked, this, [this] { requestCancel(); });

        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(cancelButton_);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(subjectLabel);
        layout->addWidget(stepLabel_);
        layout->addWidget(bar_);
        layout->addLayout(buttons);

        auto* refresh = new QTimer(this);
        connect(refresh, &QTimer::timeout, this, [this] { refreshFromProgress(); });
        refresh->start(kRefreshMs);
        refreshFromProgress();
    }

    void reject() override {
        if (running_.finished.load())
            QDialog::reject();
        else
            requestCancel();
    }

private:
    void requestCancel() {
        if (!running_.progress->stoppable())
            return;
        running_.progress->requestStop();
        refreshFromProgress();
    }

    void refreshFromProgress() {
        if (running_.finished.load()) {
            accept();
            return;
        }
        const vault::TransferProgress& progress = *running_.progress;
        const qint64 total = progress.total();
        const qint64 done = std::min(progress.done(), total);
        const QLocale locale;
        QString text = BackgroundTask::stepText(progress.step());
        if (total > 0)
            text = tr("%1 -- %2 of %3")
                       .arg(text, locale.formattedDataSize(done), locale.formattedDataSize(total));
        const bool stopping = progress.stopRequested();
        if (stopping)
            text = tr("Stopping...");
        stepLabel_->setText(text);
        bar_->setValue(total > 0 ? int(double(done) / double(total) * kBarSteps) : 0);
        cancelButton_->setEnabled(progress.stoppable() && !stopping);
    }

    Running& running_;
    QLabel* stepLabel_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};

void joinWorker(Running& running) {
    if (running.thread.joinable())
        running.thread.join();
}

} // namespace

void BackgroundTask::run(QWidget* parent, const QString& title, const QString& subject,
                         vault::TransferProgress& progress, const std::function<void()>& work) {
    if (gRunning != nullptr) {
        work();
        return;
    }
    if (gObserver)
        progress.setObserver(gObserver);
    Running running;
    running.progress = &progress;
    try {
        running.thread = std::thread([&running, &work] {
            try {
                work();
            } catch (...) {
                running.failure = std::current_exception();
            }
            running.finished.store(true);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the work is done here, with the window still.
        work();
        return;
    }
    gRunning = &running;

    // A short task ends before anything is shown. Meanwhile the window is painted and the
    // session's events (a lock, a suspend) are handled; what the user does waits.
    const QDeadlineTimer showAt(kShowDelayMs);
    waitWithoutInput([&] { return running.finished.load() || showAt.hasExpired(); });
    if (!running.finished.load()) {
        ProgressDialog dialog(parent, title, subject, running);
        dialog.exec();
    }
    joinWorker(running);
    gRunning = nullptr;
    if (running.failure)
        std::rethrow_exception(running.failure);
}

void BackgroundTask::waitWithoutInput(const std::function<bool()>& finished) {
    if (finished())
        return;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished())
            loop.quit();
    });
    poll.start(kPollMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void BackgroundTask::stopAndWait() {
    if (gRunning == nullptr)
        return;
    gRunning->progress->requestStop();
    joinWorker(*gRunning);
}

bool BackgroundTask::isRunning() {
    return gRunning != nullptr && !gRunning->finished.load();
}

void BackgroundTask::setObserver(vault::TransferProgress::Observer observer) {
    gObserver = std::move(observer);
}

WorkingState::WorkingState(QWidget* dialog, QAbstractButton* button, const QString& text)
    : button_(button), buttonText_(button->text()), wait_(&BackgroundTask::waitWithoutInput) {
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isEnabled() && !child->isWindow()) {
            child->setEnabled(false);
            switchedOff_.append(child);
        }
    }
    button_->setText(text);
    QApplication::setOverrideCursor(Qt::BusyCursor);
}

WorkingState::~WorkingState() {
    QCoreApplication::processEvents();
    QApplication::restoreOverrideCursor();
    button_->setText(buttonText_);
    for (const QPointer<QWidget>& child : switchedOff_) {
        if (child)
            child->setEnabled(true);
    }
}

QString BackgroundTask::stepText(vault::TransferStep step) {
    switch (step) {
    case vault::TransferStep::Starting:
        break;
    case vault::TransferStep::Encrypting:
        return QCoreApplication::translate("BackgroundTask", "Encrypting");
    case vault::TransferStep::Decrypting:
        return QCoreApplication::translate("BackgroundTask", "Decrypting");
    case vault::TransferStep::Saving:
        return QCoreApplication::translate("BackgroundTask", "Saving");
    case vault::TransferStep::Erasing:
        return QCoreApplication::translate("BackgroundTask", "Erasing the original");
    }
    return QCoreApplication::translate("BackgroundTask", "Starting");
}

} // namespace korvex::ui
