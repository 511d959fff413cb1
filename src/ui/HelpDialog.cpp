#include "ui/HelpDialog.h"

#include "core/AuthManager.h"
#include "platform/CaptureExclusion.h"
#include "platform/UserKeyFileProtection.h"
#include "protect/LocalIntegrityKey.h"
#include "ui/DialogHeader.h"

#include <QCoreApplication>
#include <QLabel>
#include <QList>
#include <QPair>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

using Section = QPair<QString, QString>; // heading, body

QLabel* headingLabel(const QString& text, QWidget* parent) {
    QLabel* label = korvex::ui::makeRoleLabel(text, "heading");
    label->setParent(parent);
    return label;
}

QLabel* bodyLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

// A tab page: the widgets stacked with 12 pixels between them and a closing stretch, in a
// frameless scroll area that resizes its content.
QWidget* makePage(const QList<QWidget*>& items) {
    QVBoxLayout* column = nullptr;
    QScrollArea* scroll = korvex::ui::makeScrollPage(12, &column);
    for (QWidget* item : items)
        column->addWidget(item);
    column->addStretch(1);
    return scroll;
}

QWidget* makeSectionsPage(const QList<Section>& sections) {
    QList<QWidget*> items;
    for (const Section& section : sections) {
        items.append(headingLabel(section.first, nullptr));
        items.append(bodyLabel(section.second, nullptr));
    }
    return makePage(items);
}

// The dialog's own translation context, for the texts built outside its members.
QString helpTr(const char* text) {
    return QCoreApplication::translate("HelpDialog", text);
}

QList<Section> manualSections() {
    return {
        {helpTr("Getting started"),
         helpTr(
             "The first time Zelvora runs, it walks you through creating a single local account: a "
             "username and a master password. That password is the only way in -- Zelvora never "
             "sends it anywhere and cannot recover it for you if you forget it (see the Warnings "
             "tab).")},
        {helpTr("Your vault"),
         helpTr(
             "Files you add are encrypted and stored inside your vault. Use the toolbar to add "
             "files, open the ones already there, or remove them. Everything is decrypted only in "
             "memory, only while you're signed in -- closing Zelvora or signing out wipes it from "
             "memory immediately.")},
        {helpTr("Configure"),
         helpTr(
             "File > Configure covers everything else: turning on two-factor authentication (scan "
             "the QR code with an authenticator app), changing your master password, the auto-lock "
             "time, a size limit for the vault, and the folder and name of the vault file (the "
             "file is moved there the next time Zelvora starts), and (Advanced) storing the vault "
             "in unallocated disk space instead of an ordinary file. This system has no hidden-file "
             "attribute and no delete restriction, so those two options are shown switched off.")},
        {helpTr("Signing out and auto-lock"),
         helpTr(
             "File > Sign Out locks the vault immediately. Configure's auto-lock setting (Never, "
             "or 1 to 30 minutes) does the same after a period of inactivity: Zelvora first shows "
             "a 30-second warning, and typing your password there keeps you signed in. Either "
             "way, you'll need your password (and your two-factor code, if enabled) to get back "
             "in.")},
        {helpTr("Deleting your vault"),
         helpTr("Configure > Storage has a Delete Vault option. It asks for your master password, "
                "and from then on that password no longer opens the vault. The next time Zelvora "
                "starts it asks for the password once more, then erases the vault file and your "
                "account -- it starts over from scratch, the same as a brand-new install. There is "
                "no way to undo it.")},
    };
}

// Which prompts can appear depends on what protects the settings keys here: only a machine
// whose TPM Zelvora uses shows a TPM prompt.
QString securityPromptsText() {
    if (korvex::protect::LocalIntegrityKey::sealedKeyStore().hasProvider())
        return helpTr(
            "If this PC has a usable TPM (see the Local Security tab), Zelvora asks for the PIN of "
            "its TPM key the first time each run actually needs it -- at most once per launch, "
            "not once per file. Without a TPM, your desktop keyring may likewise ask you to "
            "unlock it. If you cancel that prompt, Zelvora will NOT silently fall back to "
            "weaker protection: the action you were doing will simply fail, and you can try "
            "again. Only approve the prompt if you recognize it as Zelvora asking; if anything "
            "about it looks wrong, decline it and contact support before retrying.");
    return helpTr(
        "If your desktop keyring is locked, it asks you to unlock it the first time Zelvora "
        "needs one of its keys. If you cancel that prompt, Zelvora will NOT silently fall back "
        "to weaker protection: the action you were doing will simply fail, and you can try "
        "again. Only approve the prompt if you recognize it as Zelvora asking; if anything "
        "about it looks wrong, decline it and contact support before retrying.");
}

QList<Section> warningSections() {
    return {
        {helpTr("No password recovery"),
         helpTr("Zelvora has no \"forgot password\" option, by design. If you lose your master "
                "password, the contents of your vault are permanently unrecoverable -- not by "
                "Zelvora, not by support, not by anyone. Store it somewhere safe.")},
        {helpTr("Your vault is locked to this machine"),
         helpTr(
             "Your vault's encryption key is bound to this specific machine. Reinstalling the "
             "operating system, replacing the drive, or moving the vault file to a different "
             "computer will make it permanently unrecoverable. This is a deliberate security "
             "choice, not a bug -- if you need to move to new hardware, do it BEFORE anything "
             "happens to the old machine, by signing in on the old machine and exporting what you "
             "need first.")},
        {helpTr("Security prompts"), securityPromptsText()},
        {helpTr("Two-factor authentication backup code"),
         helpTr(
             "If you enable two-factor authentication, Zelvora shows you a manual backup code "
             "during setup. Write it down and store it somewhere safe and separate from this PC. "
             "Losing both your authenticator device and that backup code permanently locks you "
             "out, the same as losing your master password.")},
        {helpTr("\"Hidden\" and \"Restrict delete\" are deterrents, not locks"),
         helpTr(
             "Where the system supports them, these options (Configure > Storage) stop casual "
             "discovery and deletion by other accounts. Linux has neither a hidden attribute nor a "
             "delete restriction, so on this system Zelvora shows them switched off -- the vault "
             "file is private to your user account (permissions 0600) instead. Even where they "
             "work, they do "
             "NOT stop this same account: Zelvora needs permission to maintain \"Restrict delete\" "
             "across launches, so this account can always remove it directly, with no special "
             "rights needed. Treat them as a speed bump, not a guarantee.")},
        {helpTr("Upgrading from a version before 2.0.13"),
         helpTr(
             "Version 2.0.13 changed how Zelvora protects its local account files. Accounts "
             "created by an older version cannot be read by this version -- if you see a message "
             "at sign-in saying your account file is from an unsupported older version, that's "
             "expected, not a sign of tampering. You'll need to start with a fresh vault; contact "
             "support first if you need the contents of the old one.")},
    };
}

// What protects the account file's key on this machine, in the words the user reads. Each
// mechanism gets its own paragraph, so the tab never claims more than this machine gives.
QString localProtectionText(korvex::protect::LocalProtectionKind kind) {
    using korvex::protect::LocalProtectionKind;
    switch (kind) {
    case LocalProtectionKind::Tpm:
        return helpTr(
            "Yes. This PC has a usable TPM, and Zelvora is using it: your local account "
            "files are protected by a hardware key that never leaves the TPM, gated behind "
            "the key's PIN, asked on first use each run. Even someone with full "
            "access to this PC's disk cannot extract that key without the physical TPM "
            "chip.");
    case LocalProtectionKind::Keyring:
        return helpTr(
            "No usable TPM was found on this PC (or it could not be used), so Zelvora is "
            "protecting your local account files with a key kept in your desktop keyring "
            "(the Secret Service) instead, tied to your user account. This is a real, "
            "working protection -- just not as strong as a TPM: unlike a TPM-backed key, it "
            "can in principle be recovered by anyone who later obtains both a copy of your "
            "disk and your login credentials.");
    case LocalProtectionKind::UserKeyFile: {
        const QString keyFolder =
            korvex::platform::UserKeyFileDataProtection::defaultKeyFolderShown();
        return helpTr(
                   "No usable TPM was found on this PC (or it could not be used), and no desktop "
                   "keyring (Secret Service) is available, so Zelvora is protecting your local "
                   "account files with a key kept in a private file in %1 that only "
                   "your user account may read (permissions 0600). This is weaker than a TPM or a "
                   "keyring: the key file itself is not encrypted, so anyone who can read your "
                   "files -- the root user, or anyone who obtains a copy of an "
                   "unencrypted disk -- can recover the key.")
            .arg(keyFolder);
    }
    case LocalProtectionKind::Unavailable:
        break;
    }
    // Without a TPM here, the TPM is not among the things that could have failed.
    if (!korvex::protect::LocalIntegrityKey::sealedKeyStore().hasProvider())
        return helpTr(
            "Zelvora could not load the key that protects your local account files right now "
            "(your desktop keyring or key file could not be used, or no account exists yet), so "
            "it cannot say what protects them on this PC. The message shown at sign-in explains "
            "what went wrong.");
    return helpTr(
        "Zelvora could not load the key that protects your local account files right now "
        "(its TPM, desktop keyring or key file could not be used, or no account exists "
        "yet), so it cannot say what protects them on this PC. The message shown at sign-in "
        "explains what went wrong.");
}

} // namespace

HelpDialog::HelpDialog(korvex::core::AuthManager& auth, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Zelvora - Help"));
    setMinimumSize(520, 480);

    QWidget* header =
        korvex::ui::makeDialogHeader(this, QStringLiteral(":/icons/key.svg"), tr("Help"),
                                     tr("How Zelvora works, and what to watch out for."));

    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("helpTabs"));
    tabs->addTab(makeSectionsPage(manualSections()), tr("Manual"));
    tabs->addTab(makeSectionsPage(warningSections()), tr("Warnings"));

    auto* status = bodyLabel(localProtectionText(korvex::protect::LocalIntegrityKey::protectionOf(
                                 auth.identityPath() + QStringLiteral(".key"))),
                             nullptr);
    status->setObjectName(QStringLiteral("helpTpmStatusLabel"));
    tabs->addTab(
        makePage({headingLabel(tr("Does this PC have a TPM?"), nullptr), status,
                  headingLabel(tr("What this does and doesn't cover"), nullptr),
                  bodyLabel(tr("This is about protecting Zelvora's own local configuration "
                               "files on THIS device -- it has nothing to do with your vault's "
                               "encryption, which is always strong regardless of what protects "
                               "these files. It also isn't a defense against another program "
                               "already running as your same user account while Zelvora itself "
                               "is running."),
                            nullptr)}),
        tr("Local Security"));

    QPushButton* closeButton = korvex::ui::makeCloseButton(this, QStringLiteral("helpCloseButton"));

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addWidget(header);
    layout->addWidget(tabs, 1);
    layout->addWidget(closeButton);
}

void HelpDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
