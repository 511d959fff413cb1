#pragma once

#include <QDeadlineTimer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QWidget;

namespace korvex::app {

// How long a later start waits for the first one.
struct InstanceWaitBounds {
    // To get a connection: the first may hold the lock but not listen yet, or be on its way out.
    std::chrono::milliseconds reach{3000};
    // For the answer once connected: the first answers from its event loop, which a long step
    // (a key derivation, opening the vault) can keep busy for a while.
    std::chrono::milliseconds reply{10000};
};

// One Zelvora per user and data folder. start() decides whether this process is the first:
// the first holds a lock file and listens on a local socket beside it, both in the user's
// private runtime folder and named after the data folder; a later start asks the first to come
// to the front and learns whether it is signed in.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    enum class Outcome {
        First,            // this process is the first; it answers later starts
        OtherSignedIn,    // another is running with a session window; it was asked to the front
        OtherSignedOut,   // another is running between sessions; it was asked to the front
        OtherUnreachable, // another holds the lock but did not answer in time
        Unavailable,      // no private folder or lock file could be made: nothing is known
    };

    // dataFolder only names the instance (its path is hashed); nothing in it is touched.
    explicit SingleInstance(const QString& dataFolder, InstanceWaitBounds bounds = {},
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // Once per object. A later start blocks for at most the two bounds together.
    Outcome start();

    // What the first answers: whether a session's main window is up. Signed out until set.
    void setSignedIn(bool signedIn) { signedIn_ = signedIn; }
    bool isSignedIn() const { return signedIn_; }

    // Where the lock file and the socket are (or would be); empty before start() and when no
    // private folder could be found.
    const QString& lockPath() const { return lockPath_; }
    const QString& socketPath() const { return socketPath_; }
    // Whether the first is listening; a socket path too long for the system leaves the first
    // without a listener (later starts then cannot reach it and do not start either).
    bool isListening() const;

    // The protocol, one line each way, versioned: a later start sends the request, the first
    // answers with one of the two states and closes. Anything else is dropped.
    static constexpr int kMaxLineBytes = 64;
    static constexpr const char* kActivateRequest = "ZELVORA-INSTANCE 1 ACTIVATE\n";
    static constexpr const char* kSignedInReply = "ZELVORA-INSTANCE 1 SIGNED-IN\n";
    static constexpr const char* kSignedOutReply = "ZELVORA-INSTANCE 1 SIGNED-OUT\n";

Q_SIGNALS:
    // A later start asked this (first) process to come to the front.
    void activationRequested();

private:
    // What a later start heard: a state; no connection, or one closed before an answer (worth
    // another try); or no (usable) answer within the bound.
    enum class Answer { SignedIn, SignedOut, NotConnected, NoAnswer };

    void becomeFirst();
    Answer askFirst(const QDeadlineTimer& reachBy);
    void acceptPeers();
    void serve(QLocalSocket* peer);

    QString instanceName_;
    InstanceWaitBounds bounds_;
    QString lockPath_;
    QString socketPath_;
    bool signedIn_ = false;
    bool started_ = false;
    // The server is closed (and its socket file removed) before the lock is let go: the order
    // of these two matters.
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

// The folder this user's instances meet in: the runtime folder when it is private to the user,
// else Zelvora's private folder in the user's cache folder (created 0700). Empty when neither
// can be had.
QString instanceFolder();

// Brings this process's current top window to the front: the active modal dialog if there is
// one, else a visible top-level window (a main window first), un-minimised. Returns it, or
// nullptr when nothing is showing. Some Wayland compositors ignore the activation.
QWidget* raiseApplicationWindow();

// What a later start shows, translated.
QString alreadyRunningTitle();
QString alreadyRunningSignedOutMessage();
QString alreadyRunningUnreachableMessage();
QString instanceCheckFailedTitle();
QString instanceCheckFailedMessage();

} // namespace korvex::app
