#pragma once

#include <QMessageBox>
#include <QString>

namespace korvex::ui {

// A question with two answers: go on (named goText) or Quit.
struct Choice {
    QMessageBox::Icon icon = QMessageBox::Question;
    QString title;
    QString text;
    QString goText;
    const char* boxName = ""; // object names, by which tests find the box and its button
    const char* goName = "";
    bool goIsDefault = true; // else Quit is (for a choice that weakens something)
};

// True when the user chose to go on; Quit, Escape and closing the box do not.
bool chooseToGoOn(const Choice& choice);

} // namespace korvex::ui
