#pragma once

#include <QString>

class QDialog;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class QWidget;

namespace korvex::ui {

// Object names of the header's parts, for style rules and tests.
inline constexpr const char* kDialogHeaderIconName = "dialogHeaderIcon";
inline constexpr const char* kDialogHeaderHeadingName = "dialogHeaderHeading";
inline constexpr const char* kDialogHeaderSubtextName = "dialogHeaderSubtext";

// The header every dialog opens with: left to right, the icon rendered at 40 x 40 in a
// 40 x 40 label, 10 pixels of space, the heading (role "heading") above the subtext
// (role "subtext", word-wrapped) with 2 pixels between them, and a stretch. The caller puts
// the returned widget, a child of parent, into its layout.
QWidget* makeDialogHeader(QWidget* parent, const QString& iconPath, const QString& heading,
                          const QString& subtext);

// A word-wrapped label of a style role ("heading", "subtext"), not yet placed anywhere.
QLabel* makeRoleLabel(const QString& text, const char* role);
// A tab page: a frameless scroll area that resizes its content, whose vertical list (items
// spacing pixels apart) is handed back in column for the caller to fill.
QScrollArea* makeScrollPage(int spacing, QVBoxLayout** column);

// The gold "Close" button that ends an information dialog: the default button, accepting it.
QPushButton* makeCloseButton(QDialog* dialog, const QString& objectName);

} // namespace korvex::ui
