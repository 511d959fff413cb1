#include "ui/AboutDialog.h"

#include "platform/CaptureExclusion.h"
#include "ui/DialogHeader.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr const char* kVersion = "4.0.3";

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About Zelvora"));
    setMinimumWidth(420);

    QWidget* header =
        korvex::ui::makeDialogHeader(this, QStringLiteral(":/icons/app.svg"), tr("Zelvora"),
                                     tr("Classified Documents Protection."));

    auto* version = new QLabel(tr("Version %1").arg(QLatin1String(kVersion)), this);
    version->setObjectName(QStringLiteral("aboutVersionLabel"));
    version->setProperty("role", QStringLiteral("subtext"));

    auto* description = new QLabel(
        tr("Zelvora protects confidential documents in an encrypted vault, with an optional "
           "storage mode that keeps the vault in unallocated disk space instead of an ordinary "
           "file."),
        this);
    description->setObjectName(QStringLiteral("aboutDescriptionLabel"));
    description->setWordWrap(true);

    auto* builtWith = new QLabel(tr("Built with Qt6 and libsodium."), this);
    builtWith->setObjectName(QStringLiteral("aboutBuiltWithLabel"));
    builtWith->setProperty("role", QStringLiteral("subtext"));
    builtWith->setWordWrap(true);

    QPushButton* closeButton =
        korvex::ui::makeCloseButton(this, QStringLiteral("aboutCloseButton"));

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addWidget(header);
    layout->addWidget(version);
    layout->addWidget(description);
    layout->addWidget(builtWith);
    layout->addStretch(1);
    layout->addWidget(closeButton);
}

void AboutDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Linux offers no capture exclusion; the call then does nothing and says so.
    korvex::platform::excludeFromCapture(static_cast<quintptr>(winId()));
}
