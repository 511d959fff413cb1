#include "ui/ChoiceBox.h"

#include <QCoreApplication>
#include <QPushButton>

namespace korvex::ui {

bool chooseToGoOn(const Choice& choice) {
    return chooseToGoOn(choice, QCoreApplication::translate("chooseToGoOn", "Quit"), "");
}

bool chooseToGoOn(const Choice& choice, const QString& stayText, const char* stayName) {
    QMessageBox box(choice.icon, choice.title, choice.text);
    box.setObjectName(QString::fromLatin1(choice.boxName));
    QPushButton* go = box.addButton(choice.goText, QMessageBox::AcceptRole);
    go->setObjectName(QString::fromLatin1(choice.goName));
    QPushButton* quit = box.addButton(stayText, QMessageBox::RejectRole);
    quit->setObjectName(QString::fromLatin1(stayName));
    box.setDefaultButton(choice.goIsDefault ? go : quit);
    box.setEscapeButton(quit);
    box.exec();
    return box.clickedButton() == go;
}

} // namespace korvex::ui
