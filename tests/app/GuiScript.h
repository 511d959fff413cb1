#pragma once

// Drives real widgets through a sequence of steps while code under test runs its own modal
// dialogs and event loops: a timer looks at what is on screen, and when the next step's
// condition holds, performs it. Anything that opens another modal dialog must be queued (see
// later()), so that its nested event loop does not run inside the timer's slot.

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QInputDialog>
#include <QList>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

namespace korvex::test {

class GuiScript : public QObject {
public:
    struct Step {
        QString name;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    explicit GuiScript(int stallMs = 20000) : stallMs_(stallMs) {
        timer_.setInterval(25);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
    }

    void add(const QString& name, std::function<bool()> ready, std::function<void()> act) {
        steps_.append(Step{name, std::move(ready), std::move(act)});
    }

    // When a modal widget of type T is up, act on it.
    template <typename T>
    void onModal(const QString& name, std::function<void(T*)> act,
                 std::function<bool(T*)> also = {}) {
        add(
            name,
            [also] {
                T* widget = qobject_cast<T*>(QApplication::activeModalWidget());
                return widget && widget->isVisible() && (!also || also(widget));
            },
            [act] { act(qobject_cast<T*>(QApplication::activeModalWidget())); });
    }

    void start() {
        failure_.clear();
        deadline_ = QDeadlineTimer(stallMs_);
        timer_.start();
    }
    bool finished() const { return steps_.isEmpty(); }
    // Empty while all is well; otherwise the step that never became ready.
    const QString& failure() const { return failure_; }
    QString nextStep() const { return steps_.isEmpty() ? QString() : steps_.first().name; }

    // Runs f from the event loop, outside the current slot.
    static void later(std::function<void()> f) {
        QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection);
    }
    static void clickLater(QAbstractButton* button) {
        later([button] { button->click(); });
    }
    static QAbstractButton* messageBoxButton(QMessageBox* box, QMessageBox::StandardButton which) {
        return box->button(which);
    }

private:
    void tick() {
        if (steps_.isEmpty()) {
            timer_.stop();
            return;
        }
        if (steps_.first().ready()) {
            const Step step = steps_.takeFirst();
            deadline_ = QDeadlineTimer(stallMs_);
            step.act();
            return;
        }
        if (deadline_.hasExpired()) {
            // Unblock whatever waits: the test then fails on the recorded step.
            QWidget* modal = QApplication::activeModalWidget();
            failure_ = QStringLiteral("step never became ready: ") + steps_.first().name +
                       QStringLiteral(" (on screen: ") +
                       (modal ? QString::fromLatin1(modal->metaObject()->className()) +
                                    QLatin1Char(' ') + modal->windowTitle()
                              : QStringLiteral("no modal dialog")) +
                       QLatin1Char(')');
            steps_.clear();
            timer_.stop();
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
            }
            QApplication::closeAllWindows();
        }
    }

    QList<Step> steps_;
    QTimer timer_;
    QDeadlineTimer deadline_;
    QString failure_;
    int stallMs_;
};

// Answers the next text prompt: types text and accepts it, or (no text) cancels it. seen, when
// given, receives "title|label".
inline void answerText(GuiScript& script, const QString& step, std::optional<QString> text,
                       QString* seen = nullptr) {
    script.onModal<QInputDialog>(step, [text, seen](QInputDialog* dialog) {
        if (seen)
            *seen = dialog->windowTitle() + QLatin1Char('|') + dialog->labelText();
        if (text) {
            dialog->setTextValue(*text);
            dialog->accept();
        } else {
            dialog->reject();
        }
    });
}

// Clicks answer on the next message box, or rejects a box without that button. seen, when given,
// receives "title|text"; cancelIsDefault whether Cancel was the default button.
inline void answerQuestion(GuiScript& script, QMessageBox::StandardButton answer,
                           QString* seen = nullptr, bool* cancelIsDefault = nullptr) {
    script.onModal<QMessageBox>(
        QStringLiteral("question"), [answer, seen, cancelIsDefault](QMessageBox* box) {
            if (seen)
                *seen = box->windowTitle() + QLatin1Char('|') + box->text();
            if (cancelIsDefault)
                *cancelIsDefault = static_cast<QAbstractButton*>(box->defaultButton()) ==
                                   box->button(QMessageBox::Cancel);
            if (QAbstractButton* button = box->button(answer))
                button->click();
            else
                box->reject();
        });
}

} // namespace korvex::test
