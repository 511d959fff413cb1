#pragma once

#include <QString>

namespace korvex::protect {

// The recovery code is the data folder's root secret itself, as RFC 4648 base32 text. Anyone
// holding it can derive every settings key of that folder; the caller overwrites its copy of
// the text as soon as it has been shown.

// The code of the folder holding keyFilePath (the account's key file); empty on failure.
QString recoveryCodeFor(const QString& keyFilePath);

// Seals the secret in code under a new TPM key, after proving with keyFilePath's data file
// that it is this folder's secret. Nothing changes on failure.
bool restoreFromRecoveryCode(const QString& keyFilePath, const QString& code);

} // namespace korvex::protect
