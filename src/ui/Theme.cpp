#include "ui/Theme.h"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

namespace korvex::ui {

QString loadStyleSheet() {
    QFile file(QString::fromLatin1(kStyleSheetResource));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool applyApplicationStyle(QApplication& app) {
    const QIcon icon = loadIcon(QString::fromLatin1(kAppIconResource));
    if (!icon.isNull())
        app.setWindowIcon(icon);
    const QString sheet = loadStyleSheet();
    if (sheet.isEmpty())
        return false;
    app.setStyleSheet(sheet);
    return true;
}

QPixmap renderIcon(const QString& resourcePath, QSize size, qreal devicePixelRatio) {
    if (size.isEmpty())
        return {};
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const QSize device(static_cast<int>(std::ceil(size.width() * ratio)),
                       static_cast<int>(std::ceil(size.height() * ratio)));

    if (resourcePath.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgRenderer renderer(resourcePath);
        if (!renderer.isValid())
            return {};
        QPixmap pixmap(device);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(device)));
        }
        pixmap.setDevicePixelRatio(ratio);
        return pixmap;
    }

    QPixmap source(resourcePath);
    if (source.isNull())
        return {};
    QPixmap scaled = source.scaled(device, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(ratio);
    return scaled;
}

QIcon loadIcon(const QString& resourcePath) {
    QIcon icon;
    for (int side : {16, 20, 24, 32, 40, 48, 64, 128, 256}) {
        const QPixmap pixmap = renderIcon(resourcePath, QSize(side, side));
        if (pixmap.isNull())
            return {};
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace korvex::ui
