#include "ui/DialogHeader.h"

#include "ui/Theme.h"

#include <QCoreApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>

namespace korvex::ui {

namespace {

constexpr int kIconSide = 40;

} // namespace

QWidget* makeDialogHeader(QWidget* parent, const QString& iconPath, const QString& heading,
                          const QString& subtext) {
    auto* header = new QWidget(parent);
    header->setObjectName(QStringLiteral("dialogHeader"));

    auto* icon = new QLabel(header);
    icon->setObjectName(QLatin1String(kDialogHeaderIconName));
    icon->setFixedSize(kIconSide, kIconSide);
    icon->setAlignment(Qt::AlignCenter);
    const qreal ratio = parent != nullptr ? parent->devicePixelRatioF() : 1.0;
    icon->setPixmap(renderIcon(iconPath, QSize(kIconSide, kIconSide), ratio));

    auto* headingLabel = new QLabel(heading, header);
    headingLabel->setObjectName(QLatin1String(kDialogHeaderHeadingName));
    headingLabel->setProperty("role", QStringLiteral("heading"));

    auto* subtextLabel = new QLabel(subtext, header);
    subtextLabel->setObjectName(QLatin1String(kDialogHeaderSubtextName));
    subtextLabel->setProperty("role", QStringLiteral("subtext"));
    subtextLabel->setWordWrap(true);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->setContentsMargins(0, 0, 0, 0);
    texts->addWidget(headingLabel);
    texts->addWidget(subtextLabel);

    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addSpacing(10);
    row->addLayout(texts);
    row->addStretch(1);
    return header;
}

QLabel* makeRoleLabel(const QString& text, const char* role) {
    auto* label = new QLabel(text);
    label->setProperty("role", QString::fromLatin1(role));
    label->setWordWrap(true);
    return label;
}

QScrollArea* makeScrollPage(int spacing, QVBoxLayout** column) {
    auto* content = new QWidget;
    *column = new QVBoxLayout(content);
    (*column)->setSpacing(spacing);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    return scroll;
}

QPushButton* makeCloseButton(QDialog* dialog, const QString& objectName) {
    auto* button = new QPushButton(QCoreApplication::translate("DialogHeader", "Close"), dialog);
    button->setObjectName(objectName);
    button->setProperty("accent", true);
    button->setDefault(true);
    QObject::connect(button, &QPushButton::clicked, dialog, &QDialog::accept);
    return button;
}

} // namespace korvex::ui
