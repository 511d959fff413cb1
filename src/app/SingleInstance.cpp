#include "app/SingleInstance.h"

#include "platform/PrivatePaths.h"

#include <QApplication>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMainWindow>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::app {

namespace {

// The first serves this many peers at a time, and gives each this long to ask.
constexpr int kMaxPeers = 8;
constexpr int kPeerPatienceMs = 5000;
// Between two tries of a later start.
constexpr qint64 kRetryPauseMs = 25;

const QString kFallbackFolderName = QStringLiteral("/zelvora-instance");

QString translated(const char* text) {
    return QCoreApplication::translate("Zelvora", text);
}

// Whether path (a final link followed) is a folder of this user that nobody else may enter.
bool isPrivateFolder(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

void drop(QLocalSocket* peer) {
    peer->abort();
    peer->deleteLater();
}

} // namespace

QString instanceFolder() {
    // Qt hands out the runtime folder only after checking that it belongs to this user and is
    // 0700 (creating its own under the temporary folder when the session has none); checked
    // again here, since everything below relies on it.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return runtime;
    // Without one, a folder of our own under the user's cache folder. Not the shared temporary
    // folder: any user may create names there, so a name we pick could already be taken (or be
    // a link) by someone else. The cache folder is in the user's home, where only the user
    // creates entries, and what is kept here need not survive anything.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        return QString();
    const QString fallback = cache + kFallbackFolderName;
    // An existing one must be a real folder of this user (not a link); a widened mode is
    // tightened again.
    if (!platform::createPrivateFolder(fallback) || !platform::restrictToOwner(fallback) ||
        !isPrivateFolder(fallback))
        return QString();
    return fallback;
}

SingleInstance::SingleInstance(const QString& dataFolder, InstanceWaitBounds bounds,
                               QObject* parent)
    : QObject(parent), bounds_(bounds) {
    // A hash keeps the name short (socket paths are limited to about a hundred bytes) and keeps
    // instances of different data folders, such as tests' temporary ones, apart.
    const QByteArray identity =
        QFile::encodeName(QDir::cleanPath(QFileInfo(dataFolder).absoluteFilePath()));
    instanceName_ =
        QStringLiteral("zelvora-") +
        QString::fromLatin1(
            QCryptographicHash::hash(identity, QCryptographicHash::Sha256).toHex().left(16));
}

SingleInstance::~SingleInstance() {
    // Closing the server removes its socket file; only then may a new first take the lock and
    // put its own socket there.
    server_.reset();
    lock_.reset();
}

bool SingleInstance::isListening() const {
    return server_ && server_->isListening();
}

SingleInstance::Outcome SingleInstance::start() {
    Q_ASSERT(!started_);
    started_ = true;
    const QString folder = instanceFolder();
    if (folder.isEmpty()) {
        qWarning("SingleInstance: no private folder for the instance lock could be found or made.");
        return Outcome::Unavailable;
    }
    lockPath_ = folder + QLatin1Char('/') + instanceName_ + QStringLiteral(".lock");
    socketPath_ = folder + QLatin1Char('/') + instanceName_ + QStringLiteral(".socket");
    lock_ = std::make_unique<QLockFile>(lockPath_);

    // The lock elects the first: creating its file is atomic, and Qt takes a lock file over only
    // when it looks stale (the process named in it is gone) and no process still holds a lock
    // on the file.
    const QDeadlineTimer reachBy(bounds_.reach);
    for (;;) {
        if (lock_->tryLock(0)) {
            becomeFirst();
            return Outcome::First;
        }
        if (lock_->error() != QLockFile::LockFailedError) {
            qWarning("SingleInstance: could not create the instance lock file %s.",
                     qUtf8Printable(lockPath_));
            return Outcome::Unavailable;
        }
        switch (askFirst(reachBy)) {
        case Answer::SignedIn:
            return Outcome::OtherSignedIn;
        case Answer::SignedOut:
            return Outcome::OtherSignedOut;
        case Answer::NoAnswer:
            return Outcome::OtherUnreachable;
        case Answer::NotConnected:
            // Not listening yet, or on its way out (then the lock is free soon).
            break;
        }
        if (reachBy.hasExpired())
            return Outcome::OtherUnreachable;
        QThread::msleep(
            static_cast<unsigned long>(std::min(kRetryPauseMs, reachBy.remainingTime())));
    }
}

void SingleInstance::becomeFirst() {
    // QLockFile creates its file under the process umask. The folder is the user's alone, so
    // nobody else could see it in the meantime; tightened all the same.
    if (!platform::restrictToOwner(lockPath_))
        qWarning("SingleInstance: could not make the instance lock file private.");

    server_ = std::make_unique<QLocalServer>();
    // Bound under a private temporary name, given the owner's permissions only, then renamed
    // into place: never open to others, whatever the umask.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a first that ended without closing it. Only the lock holder gets
    // here, so it is never another running first's.
    QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_)) {
        qWarning("SingleInstance: cannot listen on %s (%s); later starts will not reach this one.",
                 qUtf8Printable(socketPath_), qUtf8Printable(server_->errorString()));
        server_.reset();
        return;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::acceptPeers);
}

SingleInstance::Answer SingleInstance::askFirst(const QDeadlineTimer& reachBy) {
    QLocalSocket socket;
    // Never more than one line is buffered, whatever the other end sends.
    socket.setReadBufferSize(kMaxLineBytes);
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(static_cast<int>(std::max<qint64>(1, reachBy.remainingTime()))))
        return Answer::NotConnected;
    socket.write(kActivateRequest);

    const QDeadlineTimer replyBy(bounds_.reply);
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() >= kMaxLineBytes)
            return Answer::NoAnswer;
        if (socket.state() != QLocalSocket::ConnectedState)
            return Answer::NotConnected;
        if (replyBy.hasExpired())
            return Answer::NoAnswer;
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(static_cast<int>(replyBy.remainingTime()));
        else
            socket.waitForReadyRead(static_cast<int>(replyBy.remainingTime()));
    }
    char line[kMaxLineBytes + 1];
    const qint64 length = socket.readLine(line, sizeof line);
    const QByteArrayView reply(line, length > 0 ? length : 0);
    if (reply == QByteArrayView(kSignedInReply))
        return Answer::SignedIn;
    if (reply == QByteArrayView(kSignedOutReply))
        return Answer::SignedOut;
    // Something that speaks, but not this protocol (another version, or not Zelvora at all).
    return Answer::NoAnswer;
}

void SingleInstance::acceptPeers() {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
        // Peers are the server's children until they are deleted.
        if (server_->findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly).size() > kMaxPeers) {
            drop(peer);
            continue;
        }
        peer->setReadBufferSize(kMaxLineBytes);
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { serve(peer); });
        QTimer::singleShot(kPeerPatienceMs, peer, [peer] { drop(peer); });
        serve(peer);
    }
}

void SingleInstance::serve(QLocalSocket* peer) {
    if (!peer->canReadLine()) {
        // A full buffer without a line end: too long to be a request.
        if (peer->bytesAvailable() >= kMaxLineBytes)
            drop(peer);
        return;
    }
    // One request per connection; whatever follows it is not read.
    disconnect(peer, &QLocalSocket::readyRead, this, nullptr);
    char line[kMaxLineBytes + 1];
    const qint64 length = peer->readLine(line, sizeof line);
    if (QByteArrayView(line, length > 0 ? length : 0) != QByteArrayView(kActivateRequest)) {
        drop(peer);
        return;
    }
    peer->write(signedIn_ ? kSignedInReply : kSignedOutReply);
    // Closes once the answer is written; the peer is deleted when it has.
    peer->disconnectFromServer();
    Q_EMIT activationRequested();
}

namespace {

// The visible top-level window to bring forward: a main window first, else any other that is
// not a popup, tooltip or splash screen.
QWidget* visibleTopLevelWindow() {
    QWidget* other = nullptr;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        const Qt::WindowType type = window->windowType();
        if (!window->isVisible() || type == Qt::Popup || type == Qt::ToolTip ||
            type == Qt::SplashScreen)
            continue;
        if (qobject_cast<QMainWindow*>(window))
            return window;
        if (!other)
            other = window;
    }
    return other;
}

} // namespace

QWidget* raiseApplicationWindow() {
    QWidget* window = QApplication::activeModalWidget();
    if (!window)
        window = visibleTopLevelWindow();
    if (!window)
        return nullptr;
    // A dialog stays out of sight with a minimised window it belongs to.
    if (QWidget* owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
        owner && owner->isMinimized())
        owner->showNormal();
    if (window->isMinimized())
        window->showNormal();
    window->raise();
    window->activateWindow();
    return window;
}

QString alreadyRunningTitle() {
    return translated("Zelvora Is Already Running");
}

QString alreadyRunningSignedOutMessage() {
    return translated("Zelvora is already running and waiting for you to sign in. Its window has "
                      "been brought to the front.");
}

QString alreadyRunningUnreachableMessage() {
    return translated("Zelvora is already running, but it did not respond. This copy will not "
                      "start, so that only one copy works with your vault at a time.\n\nWait a "
                      "moment and try again. If Zelvora's window still does not appear, the "
                      "running copy may have stopped responding; close it and start Zelvora "
                      "again.");
}

QString instanceCheckFailedTitle() {
    return translated("Zelvora - Cannot Start");
}

QString instanceCheckFailedMessage() {
    return translated("Zelvora could not check whether it is already running, because it could "
                      "not create its lock file in your private runtime folder. Zelvora is not "
                      "starting, so that two copies never work with your vault at the same "
                      "time.\n\nCheck that your runtime folder (XDG_RUNTIME_DIR) exists, belongs "
                      "to you and is writable, then start Zelvora again.");
}

} // namespace korvex::app
