#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

namespace korvex::ui {

// Puts a secret (the recovery code) on the clipboard for a short while: it is cleared after
// kClearAfterMs, or at the session wipe, unless something else has been copied meanwhile. Only
// a digest of the secret is kept to recognise it, never the text.
class SecretClipboard : public QObject {
    Q_OBJECT

public:
    static constexpr int kClearAfterMs = 30000;

    static SecretClipboard& instance();

    void copy(const QString& secret);
    // Clears the clipboard now if it still holds the secret copied last.
    void clearNow();
    // Whether a copied secret is waiting to be cleared.
    bool isPending() const { return timer_.isActive(); }
    int clearAfterMs() const { return timer_.interval(); }

private:
    SecretClipboard();
    static QByteArray digestOf(const QString& text);

    QTimer timer_;
    QByteArray digest_;
};

} // namespace korvex::ui
