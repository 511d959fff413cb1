#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

class QApplication;

namespace korvex::ui {

// Resource paths of the compiled-in look.
inline constexpr const char* kStyleSheetResource = ":/theme.qss";
inline constexpr const char* kAppIconResource = ":/icons/app.svg";

// The application style sheet as UTF-8 text; empty when the resource cannot be read.
QString loadStyleSheet();

// Start-up look: the window icon ":/icons/app.svg" and the style sheet ":/theme.qss".
// Returns false, leaving the application's style sheet untouched, when the sheet cannot be read.
bool applyApplicationStyle(QApplication& app);

// Renders an SVG (or any image) resource at size logical pixels for a screen with the given
// device pixel ratio. SVGs are drawn through Qt SVG directly, so they render without the
// icon-engine plugin. A null pixmap when the resource is missing or unreadable.
QPixmap renderIcon(const QString& resourcePath, QSize size, qreal devicePixelRatio = 1.0);

// An icon for actions and buttons, pre-rendered at the usual sizes.
QIcon loadIcon(const QString& resourcePath);

} // namespace korvex::ui
