#pragma once

#include "app/DeferredOperations.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace korvex::test {

// Records every message instead of showing it, and answers password questions from a script
// (nothing, that is Cancel, once the script runs out).
class RecordingPrompts final : public app::DeferredOperationPrompts {
public:
    struct Shown {
        QString kind; // "warning", "information", "password" or "choice"
        QString title;
        QString text;
    };

    QList<Shown> shown;
    QList<std::optional<QString>> answers;
    // Answers to two-way questions, in order; the safe answer (false) once they run out.
    QList<bool> choices;
    // Every progress told: "title | step | done/total".
    QStringList progressTold;
    int progressFinished = 0;

    void warning(const QString& title, const QString& text) override {
        shown.append({QStringLiteral("warning"), title, text});
    }
    void information(const QString& title, const QString& text) override {
        shown.append({QStringLiteral("information"), title, text});
    }
    std::optional<QString> askPassword(const QString& title, const QString& label) override {
        shown.append({QStringLiteral("password"), title, label});
        return answers.isEmpty() ? std::nullopt : answers.takeFirst();
    }
    bool choose(const QString& title, const QString& text, const QString& acceptText,
                const QString& rejectText) override {
        shown.append({QStringLiteral("choice"), title,
                      text + QStringLiteral(" [%1 | %2]").arg(acceptText, rejectText)});
        return !choices.isEmpty() && choices.takeFirst();
    }
    void progress(const QString& title, const QString& step, quint64 done, quint64 total) override {
        progressTold.append(
            QStringLiteral("%1 | %2 | %3/%4").arg(title, step).arg(done).arg(total));
    }
    void finishProgress() override { ++progressFinished; }
};

} // namespace korvex::test
