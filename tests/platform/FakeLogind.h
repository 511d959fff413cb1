#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <QVariantMap>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace korvex::test {

// A stand-in for logind on a private bus: it owns org.freedesktop.login1, answers the Manager's
// GetSession, GetSessionByPID and Inhibit, and sends the Manager's and the sessions' signals.
//
// Its object lives on a thread of its own, as logind lives in a process of its own: the code
// under test may call it with a blocking call from the test's thread. Inhibit hands out the
// write end of a pipe; the fake keeps the read end, which reports end-of-file once every copy of
// the inhibitor has been closed.
class FakeLogind {
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.login1");
    static inline const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
    static inline const QString kManagerInterface =
        QStringLiteral("org.freedesktop.login1.Manager");
    static inline const QString kSessionInterface =
        QStringLiteral("org.freedesktop.login1.Session");

    FakeLogind(const QString& busAddress, const QString& connectionName)
        : connection_(QDBusConnection::connectToBus(busAddress, connectionName)),
          connectionName_(connectionName) {}

    ~FakeLogind() {
        connection_.unregisterService(kService);
        connection_.unregisterObject(kManagerPath);
        thread_.quit();
        thread_.wait();
        delete manager_;
        QDBusConnection::disconnectFromBus(connectionName_);
        QMutexLocker lock(&state_.mutex);
        for (int fd : state_.inhibitorReadEnds)
            ::close(fd);
    }

    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    bool start() {
        if (!connection_.isConnected())
            return false;
        thread_.start();
        manager_ = new Manager(state_);
        manager_->moveToThread(&thread_);
        return connection_.registerVirtualObject(kManagerPath, manager_) &&
               connection_.registerService(kService);
    }

    QDBusConnection connection() const { return connection_; }

    // What GetSession answers for id; unknown ids get logind's NoSuchSession error.
    void addSession(const QString& id, const QString& path) {
        QMutexLocker lock(&state_.mutex);
        state_.sessions.insert(id, path);
    }
    // What GetSessionByPID answers; empty for "no session for this process".
    void setSessionByPid(const QString& path) {
        QMutexLocker lock(&state_.mutex);
        state_.sessionByPid = path;
    }
    void setRefuseInhibit(bool refuse) {
        QMutexLocker lock(&state_.mutex);
        state_.refuseInhibit = refuse;
    }

    // Every call answered so far, as "Member(arg,arg,...)".
    QStringList calls() const {
        QMutexLocker lock(&state_.mutex);
        return state_.calls;
    }
    void clearCalls() {
        QMutexLocker lock(&state_.mutex);
        state_.calls.clear();
    }
    int inhibitorsGiven() const {
        QMutexLocker lock(&state_.mutex);
        return int(state_.inhibitorReadEnds.size());
    }

    enum class Inhibitor { Held, Released };
    // Whether the holder still keeps the n-th inhibitor (0-based) open.
    Inhibitor inhibitor(int n) const {
        QMutexLocker lock(&state_.mutex);
        char byte = 0;
        const ssize_t got = ::read(state_.inhibitorReadEnds.at(std::size_t(n)), &byte, 1);
        return got == 0 ? Inhibitor::Released : Inhibitor::Held;
    }

    // Sends a signal from logind's own connection. It has reached the bus (and is queued for
    // every subscriber ahead of anything sent after this returns) when this returns.
    bool sendSignal(const QString& path, const QString& interface, const QString& member,
                    const QVariantList& arguments) {
        return sendInOrder(connection_, path, interface, member, arguments);
    }
    bool sendLock(const QString& sessionPath) {
        return sendSignal(sessionPath, kSessionInterface, QStringLiteral("Lock"), {});
    }
    bool sendPrepareForSleep(bool start) {
        return sendSignal(kManagerPath, kManagerInterface, QStringLiteral("PrepareForSleep"),
                          {start});
    }
    bool sendSessionActive(const QString& sessionPath, bool active) {
        return sendSignal(
            sessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("PropertiesChanged"),
            {kSessionInterface, QVariantMap{{QStringLiteral("Active"), active}}, QStringList()});
    }

    // Sends a signal from any connection, then waits for the bus to answer a call sent after
    // it: the bus handles one connection's messages in order, so the signal has been routed.
    static bool sendInOrder(const QDBusConnection& from, const QString& path,
                            const QString& interface, const QString& member,
                            const QVariantList& arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
        signal.setArguments(arguments);
        if (!from.send(signal))
            return false;
        const QDBusMessage barrier = from.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
        return barrier.type() == QDBusMessage::ReplyMessage;
    }

private:
    struct State {
        mutable QMutex mutex;
        QMap<QString, QString> sessions;
        QString sessionByPid;
        bool refuseInhibit = false;
        QStringList calls;
        std::vector<int> inhibitorReadEnds;
    };

    class Manager : public QDBusVirtualObject {
    public:
        explicit Manager(State& state) : state_(state) {}

        QString introspect(const QString& path) const override {
            Q_UNUSED(path);
            return QStringLiteral("<interface name=\"org.freedesktop.login1.Manager\"/>");
        }

        bool handleMessage(const QDBusMessage& message,
                           const QDBusConnection& connection) override {
            if (message.type() != QDBusMessage::MethodCallMessage ||
                message.interface() != kManagerInterface)
                return false;
            QStringList texts;
            for (const QVariant& argument : message.arguments())
                texts.append(argument.toString());
            QMutexLocker lock(&state_.mutex);
            state_.calls.append(message.member() + QLatin1Char('(') + texts.join(QLatin1Char(',')) +
                                QLatin1Char(')'));
            if (message.member() == QStringLiteral("GetSession")) {
                const QString path = state_.sessions.value(texts.value(0));
                connection.send(path.isEmpty() ? noSuchSession(message) : pathReply(message, path));
                return true;
            }
            if (message.member() == QStringLiteral("GetSessionByPID")) {
                connection.send(state_.sessionByPid.isEmpty()
                                    ? noSuchSession(message)
                                    : pathReply(message, state_.sessionByPid));
                return true;
            }
            if (message.member() == QStringLiteral("Inhibit")) {
                connection.send(inhibit(message));
                return true;
            }
            return false;
        }

    private:
        static QDBusMessage pathReply(const QDBusMessage& message, const QString& path) {
            return message.createReply(QVariant::fromValue(QDBusObjectPath(path)));
        }
        static QDBusMessage noSuchSession(const QDBusMessage& message) {
            return message.createErrorReply(QStringLiteral("org.freedesktop.login1.NoSuchSession"),
                                            QStringLiteral("No session for this request."));
        }

        QDBusMessage inhibit(const QDBusMessage& message) {
            int ends[2] = {-1, -1};
            if (state_.refuseInhibit || ::pipe2(ends, O_CLOEXEC) != 0)
                return message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                                QStringLiteral("Inhibit refused."));
            ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
            state_.inhibitorReadEnds.push_back(ends[0]);
            // The descriptor object keeps its own copy; ours closes now.
            const QDBusMessage reply =
                message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1])));
            ::close(ends[1]);
            return reply;
        }

        State& state_;
    };

    QDBusConnection connection_;
    QString connectionName_;
    QThread thread_;
    State state_;
    Manager* manager_ = nullptr;
};

} // namespace korvex::test
