#include "ui/FirstRunWizard.h"

#include "core/AuthManager.h"
#include "core/PasswordPolicy.h"
#include "crypto/SecureWipe.h"
#include "platform/CaptureExclusion.h"
#include "protect/LocalIntegrityKey.h"
#include "ui/BackgroundTask.h"
#include "ui/DialogHeader.h"
#include "ui/SecretField.h"
#include "ui/Theme.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>

FirstRunWizard::FirstRunWizard(korvex::core::AuthManager& auth, QWidget* parent)
    : QDialog(parent), auth_(auth) {
    setWindowTitle(tr("Zelvora - Create Account"));
    setMinimumWidth(420);

    QWidget* header = korvex::ui::makeDialogHeader(
        this, QStringLiteral(":/icons/user-plus.svg"), tr("Create Your Account"),
        tr("Set up your local Zelvora identity and master password."));

    usernameEdit_ = new QLineEdit(this);
    usernameEdit_->setObjectName(QStringLiteral("firstRunUsernameEdit"));
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName(QStringLiteral("firstRunPasswordEdit"));
    passwordEdit_->setEchoMode(QLineEdit::Password);
    korvex::ui::prepareSecretField(passwordEdit_);
    confirmEdit_ = new QLineEdit(this);
    confirmEdit_->setObjectName(QStringLiteral("firstRunConfirmEdit"));
    confirmEdit_->setEchoMode(QLineEdit::Password);
    korvex::ui::prepareSecretField(confirmEdit_);

    auto* form = new QFormLayout;
    form->addRow(tr("Username"), usernameEdit_);
    form->addRow(tr("Master password"), passwordEdit_);
    form->addRow(tr("Confirm password"), confirmEdit_);

    auto* requirements =
        new QLabel(tr("At least %1 characters, with uppercase, lowercase, a number, and a symbol.")
                       .arg(korvex::core::kMinPasswordLength),
                   this);
    requirements->setObjectName(QStringLiteral("firstRunRequirementsLabel"));
    requirements->setProperty("role", QStringLiteral("subtext"));
    requirements->setWordWrap(true);

    auto* warning = new QLabel(
        tr("Your vault will only ever open on this computer. Reinstalling the operating system, "
           "moving to a new machine, or major hardware changes will make it permanently "
           "unrecoverable -- there is no export or transfer option."),
        this);
    warning->setObjectName(QStringLiteral("firstRunWarningLabel"));
    warning->setStyleSheet(QStringLiteral("color: #E8B34C;"));
    warning->setWordWrap(true);

    errorLabel_ = new QLabel(this);
    errorLabel_->setObjectName(QStringLiteral("firstRunErrorLabel"));
    errorLabel_->setStyleSheet(QStringLiteral("color: #FF7A7A;"));
    errorLabel_->setWordWrap(true);
    errorLabel_->hide();

    createButton_ = new QPushButton(tr("Create"), this);
    createButton_->setObjectName(QStringLiteral("firstRunCreateButton"));
    createButton_->setProperty("accent", true);
    createButton_->setIcon(korvex::ui::loadIcon(QStringLiteral(":/icons/user-plus.svg")));
    createButton_->setIconSize(QSize(18, 18));
    // Return in any field creates the account, once.
    createButton_->setDefault(true);
    connect(createButton_, &QPushButton::clicked, this, &FirstRunWizard::onCreateClicked);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(header);
    layout->addLayout(form);
    layout->addWidget(requirements);
    layout->addWidget(warning);
    layout->addWidget(errorLabel_);
    layout->addWidget(createButton_);
}

FirstRunWizard::~FirstRunWizard() {
    scrubPasswordFields();
}

std::optional<korvex::crypto::SecureBuffer> FirstRunWizard::takeVaultKey() {
    std::optional<korvex::crypto::SecureBuffer> key = std::move(vaultKey_);
    vaultKey_.reset();
    return key;
}

void FirstRunWizard::onCreateClicked() {
    const QString username = usernameEdit_->text().trimmed();
    if (username.isEmpty()) {
        showError(tr("Choose a username."));
        return;
    }

    // Both copies share the edits' buffers, which keep their text when creation fails; the
    // wipes below detach first and so zero only copies of our own.
    QString password = passwordEdit_->text();
    QString confirmation = confirmEdit_->text();
    const QString violation = korvex::core::passwordPolicyViolation(password);
    if (!violation.isEmpty()) {
        showError(violation);
        return;
    }
    if (password != confirmation) {
        showError(tr("Passwords do not match."));
        return;
    }
    korvex::crypto::secureWipe(confirmation);

    QByteArray utf8 = password.toUtf8();
    std::string bytes(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    korvex::crypto::secureWipe(utf8);
    std::optional<korvex::crypto::SecureBuffer> key;
    {
        // The password's hash and key are worked out on other threads while the dialog shows
        // that it is working.
        const korvex::ui::WorkingState working(this, createButton_, tr("Creating..."));
        key = auth_.createAccount(username, bytes);
    }
    korvex::crypto::secureWipe(bytes);
    korvex::crypto::secureWipe(password);

    if (key) {
        vaultKey_ = std::move(key);
        scrubPasswordFields();
        accept();
        return;
    }
    if (auth_.identityExists()) {
        showError(tr("Could not create the account. An identity already exists."));
    } else if (!korvex::protect::LocalIntegrityKey::sealedKeyStore().hasProvider()) {
        showError(tr("Could not create the account: Zelvora could not obtain a usable security "
                     "key on this device (from your desktop keyring, or its private key file). "
                     "If you saw a keyring unlock prompt, try again and approve it; if this keeps "
                     "happening, please contact support."));
    } else {
        showError(tr("Could not create the account: Zelvora could not obtain a usable security "
                     "key on this device (its TPM, or your desktop keyring). If you saw the TPM "
                     "key's PIN prompt or a keyring unlock prompt, try again and complete it; if "
                     "this keeps happening, please contact support."));
    }
}

void FirstRunWizard::showError(const QString& message) {
    errorLabel_->setText(message);
    errorLabel_->show();
    // Grow to fit the wrapped message rather than squeeze the header.
    adjustSize();
}

void FirstRunWizard::scrubPasswordFields() {
    korvex::ui::wipeLineEdit(passwordEdit_);
    korvex::ui::wipeLineEdit(confirmEdit_);
}

void FirstRunWizard::reject() {
    scrubPasswordFields();
    QDialog::reject();
}

void FirstRunWizard::closeEvent(QCloseEvent* event) {
    scrubPasswordFields();
    QDialog::closeEvent(event);
}

void FirstRunWizard::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
