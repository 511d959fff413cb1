#pragma once

#include <QString>

class QWidget;

namespace korvex::ui {

enum class RestoreOutcome { Restored, Cancelled, Failed };

// Asks for the recovery code and restores the folder of keyFilePath (the account's key file)
// with it: the code's secret is sealed under a new TPM key with a new PIN, and the user is told
// to sign in. A code that does not restore is told in a warning box. The typed code is zeroed on
// every path, in the prompt's own field as well. Shared by the login dialog and start-up.
RestoreOutcome restoreFromRecoveryCodeDialog(QWidget* parent, const QString& keyFilePath);

// "Restore From Recovery Code", the title of the prompt and its boxes.
QString restoreTitle();

} // namespace korvex::ui
