#pragma once

// Finding the session's windows from a GUI script.

#include "ui/MainWindow.h"

#include <QApplication>
#include <QString>
#include <QWidget>

namespace korvex::test {

// The visible main window of the running session, if any.
inline MainWindow* mainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<MainWindow*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// The main window is up and nothing modal covers it.
inline bool mainWindowReady() {
    return mainWindow() && !QApplication::activeModalWidget();
}

template <typename T> T* child(QWidget* parent, const char* name) {
    return parent->findChild<T*>(QString::fromLatin1(name));
}

} // namespace korvex::test
