#pragma once

#include <QDialog>
#include <QString>

class QLabel;

// Shows the recovery code of the account file's sealed key, selectable so that it can be
// copied. The dialog keeps its own copy of the code; wipe() zeroes that copy and the label's
// text and clears the label. The destructor and the session wipe run it.
class RecoveryCodeDialog : public QDialog {
    Q_OBJECT

public:
    RecoveryCodeDialog(const QString& code, QWidget* parent = nullptr);
    ~RecoveryCodeDialog() override;

    // Safe to call more than once; the dialog stays open, empty.
    void wipe();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString code_;
    QLabel* messageLabel_ = nullptr;
};
