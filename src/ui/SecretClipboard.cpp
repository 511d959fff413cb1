#include "ui/SecretClipboard.h"

#include "crypto/SecureWipe.h"
#include "crypto/Sodium.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <sodium.h>

namespace korvex::ui {

SecretClipboard& SecretClipboard::instance() {
    // Owned by the application object, and made again for a new one.
    static QPointer<SecretClipboard> clipboard;
    if (clipboard.isNull())
        clipboard = new SecretClipboard;
    return *clipboard;
}

SecretClipboard::SecretClipboard() : QObject(qApp) {
    timer_.setSingleShot(true);
    timer_.setInterval(kClearAfterMs);
    connect(&timer_, &QTimer::timeout, this, &SecretClipboard::clearNow);
}

QByteArray SecretClipboard::digestOf(const QString& text) {
    crypto::ensureSodiumInitialised();
    QByteArray digest(crypto_generichash_BYTES, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()),
                       static_cast<std::size_t>(digest.size()),
                       reinterpret_cast<const unsigned char*>(text.constData()),
                       static_cast<unsigned long long>(text.size()) * sizeof(QChar), nullptr, 0);
    return digest;
}

void SecretClipboard::copy(const QString& secret) {
    QGuiApplication::clipboard()->setText(secret);
    digest_ = digestOf(secret);
    timer_.start();
}

void SecretClipboard::clearNow() {
    timer_.stop();
    if (digest_.isEmpty())
        return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    QString held = clipboard->text();
    if (digestOf(held) == digest_)
        clipboard->clear();
    crypto::secureWipe(held);
    digest_.clear();
}

} // namespace korvex::ui
