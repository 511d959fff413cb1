#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace korvex::test {

// A real software TPM 2.0 (swtpm) for one test: started on free loopback ports with a fresh
// state folder, TPM2_Startup already done, and stopped when this goes. clear() throws the
// state away and starts again, which is what clearing or replacing a TPM looks like to the
// program.
class SoftwareTpm {
public:
    SoftwareTpm();
    ~SoftwareTpm();
    SoftwareTpm(const SoftwareTpm&) = delete;
    SoftwareTpm& operator=(const SoftwareTpm&) = delete;

    // Whether swtpm is running; when not, why is in failure().
    bool isRunning() const;
    QString failure() const { return failure_; }
    // The TCTI configuration that reaches it.
    QString tcti() const;
    quint16 port() const { return port_; }
    // A fresh TPM in place of this one (new seeds, nothing of the old keys).
    bool clear();
    // Stops it, as a TPM that goes away while the program runs.
    void stop();
    // Starts it again on the state it had (a TPM that is back), on the same port when it can.
    bool resume();
    // Gives the owner hierarchy a password, as an administrator may have.
    bool setOwnerPassword(const QByteArray& password);
    // Takes up the room the TPM has for transient objects, as programs that reach it without a
    // resource manager and never flush may; how many objects it took.
    int fillTransientObjects();
    // Lets maxTries wrong authorisations through before the TPM locks out (recovery after
    // recoverySeconds each), with its empty lockout authorisation.
    bool setLockoutPolicy(unsigned maxTries, unsigned recoverySeconds);

private:
    bool start(bool freshState = true);

    std::unique_ptr<QTemporaryDir> state_;
    QProcess process_;
    quint16 port_ = 0;
    QString failure_;
};

} // namespace korvex::test
