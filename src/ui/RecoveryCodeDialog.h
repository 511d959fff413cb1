#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

// Shows the recovery code of the account file's sealed key in groups of four, selectable, with
// a Copy button that puts it on the clipboard for a short while. The dialog keeps its own copy
// of the code; wipe() zeroes that copy and the label's text and clears the label. The destructor
// and the session wipe run it.
class RecoveryCodeDialog : public QDialog {
    Q_OBJECT

public:
    RecoveryCodeDialog(const QString& code, QWidget* parent = nullptr);
    ~RecoveryCodeDialog() override;

    // Safe to call more than once; the dialog stays open, empty.
    void wipe();

    // The code as shown: groups of four joined by "-", without "=" padding (a restore ignores
    // both).
    static QString grouped(const QString& code);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString code_;
    QLabel* messageLabel_ = nullptr;
    QLabel* copyStatus_ = nullptr;
    QPushButton* copyButton_ = nullptr;
};
