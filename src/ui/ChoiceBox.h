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

// True when the user chose to go on; the other answer, Escape and closing the box do not.
bool chooseToGoOn(const Choice& choice);
// The same question with another answer in place of Quit: stayText, found by stayName.
bool chooseToGoOn(const Choice& choice, const QString& stayText, const char* stayName);

} // namespace korvex::ui
