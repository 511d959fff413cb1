#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <mutex>
#include <thread>

namespace korvex::test {

// Stands between a TPM client and a software TPM on loopback, the way anyone who can read the
// bus or the resource manager's socket would: it forwards both of swtpm's channels (commands,
// and control on the next port) and keeps every byte that crosses the command channel, in each
// direction.
class TpmWireTap {
public:
    // Forwards to the swtpm listening on 127.0.0.1:tpmPort (and tpmPort + 1).
    explicit TpmWireTap(quint16 tpmPort);
    ~TpmWireTap();
    TpmWireTap(const TpmWireTap&) = delete;
    TpmWireTap& operator=(const TpmWireTap&) = delete;

    bool isRunning() const { return port_ != 0; }
    // The TCTI configuration that reaches the TPM through the tap.
    QString tcti() const;
    QByteArray sentToTpm() const;
    QByteArray receivedFromTpm() const;

private:
    void run();

    quint16 tpmPort_;
    quint16 port_ = 0;
    int listeners_[2] = {-1, -1};
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    QByteArray sent_;
    QByteArray received_;
};

} // namespace korvex::test
