#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace korvex::ui {

// A modal text prompt with hidden input; nothing when cancelled. The text returned is a copy of
// its own for the caller to wipe; the prompt's field is wiped before it returns.
std::optional<QString> askForPassword(QWidget* parent, const QString& title, const QString& label);

} // namespace korvex::ui
