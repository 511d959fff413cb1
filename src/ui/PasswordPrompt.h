#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace korvex::ui {

// A modal text prompt with hidden input; nothing when cancelled. The prompt keeps no copy of the
// text afterwards, so that the caller's wipe of the returned text reaches its last copy.
std::optional<QString> askForPassword(QWidget* parent, const QString& title, const QString& label);

} // namespace korvex::ui
