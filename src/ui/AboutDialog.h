#pragma once

#include <QDialog>

// The version and a one-paragraph description of the program.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
};
