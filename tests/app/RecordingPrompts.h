#pragma once

#include "app/DeferredOperations.h"

#include <QList>
#include <QString>
#include <optional>

namespace korvex::test {

// Records every message instead of showing it, and answers password questions from a script
// (nothing, that is Cancel, once the script runs out).
class RecordingPrompts final : public app::DeferredOperationPrompts {
public:
    struct Shown {
        QString kind; // "warning", "information" or "password"
        QString title;
        QString text;
    };

    QList<Shown> shown;
    QList<std::optional<QString>> answers;

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
};

} // namespace korvex::test
