#include "support/SoftwareTpm.h"

#include "platform/TpmSealedKeyStore.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QThread>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

namespace korvex::test {

namespace {

// Whether a loopback TCP port can be bound (and so is free just now).
bool portIsFree(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return free;
}

// A port the kernel picks, whose next port is free as well (swtpm's control channel).
quint16 freePortPair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        quint16 port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        if (fd >= 0)
            ::close(fd);
        if (port != 0 && port < 65535 && portIsFree(port) && portIsFree(port + 1))
            return port;
    }
    return 0;
}

// An ESYS context on the TPM, closed when this goes.
struct Connection {
    explicit Connection(const QString& tcti) {
        ::setenv("TSS2_LOG", "all+NONE", 0);
        if (Tss2_TctiLdr_Initialize(tcti.toLocal8Bit().constData(), &tctiContext) ==
            TSS2_RC_SUCCESS)
            Esys_Initialize(&esys, tctiContext, nullptr);
    }
    ~Connection() {
        if (esys != nullptr)
            Esys_Finalize(&esys);
        if (tctiContext != nullptr)
            Tss2_TctiLdr_Finalize(&tctiContext);
    }
    TSS2_TCTI_CONTEXT* tctiContext = nullptr;
    ESYS_CONTEXT* esys = nullptr;
};

} // namespace

SoftwareTpm::SoftwareTpm() {
    start();
}

SoftwareTpm::~SoftwareTpm() {
    stop();
}

bool SoftwareTpm::isRunning() const {
    return process_.state() == QProcess::Running;
}

QString SoftwareTpm::tcti() const {
    return QStringLiteral("swtpm:host=127.0.0.1,port=%1").arg(port_);
}

bool SoftwareTpm::clear() {
    stop();
    return start();
}

bool SoftwareTpm::resume() {
    stop();
    return start(false);
}

bool SoftwareTpm::start(bool freshState) {
    failure_.clear();
    const QString swtpm = QStandardPaths::findExecutable(QStringLiteral("swtpm"));
    if (swtpm.isEmpty()) {
        failure_ = QStringLiteral("swtpm is not installed");
        return false;
    }
    if (freshState || !state_)
        state_ = std::make_unique<QTemporaryDir>();
    const quint16 previous = freshState ? 0 : port_;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = attempt == 0 && previous != 0 && portIsFree(previous) && portIsFree(previous + 1)
                    ? previous
                    : freePortPair();
        if (port_ == 0)
            continue;
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(swtpm,
                       {QStringLiteral("socket"), QStringLiteral("--tpm2"),
                        QStringLiteral("--tpmstate"), QStringLiteral("dir=") + state_->path(),
                        QStringLiteral("--server"),
                        QStringLiteral("type=tcp,port=%1,bindaddr=127.0.0.1").arg(port_),
                        QStringLiteral("--ctrl"),
                        QStringLiteral("type=tcp,port=%1,bindaddr=127.0.0.1").arg(port_ + 1),
                        QStringLiteral("--flags"), QStringLiteral("not-need-init,startup-clear")});
        if (!process_.waitForStarted(10000))
            continue;
        // Ready once it answers as a TPM 2.0 the program can use.
        const QDeadlineTimer limit(10000);
        while (!limit.hasExpired() && process_.state() == QProcess::Running) {
            if (platform::TpmSealedKeyStore(tcti(), QString(), nullptr).hasProvider())
                return true;
            QThread::msleep(20);
        }
        stop();
    }
    failure_ = QStringLiteral("swtpm did not start: ") + QString::fromLocal8Bit(process_.readAll());
    return false;
}

void SoftwareTpm::stop() {
    if (process_.state() != QProcess::NotRunning) {
        // Shut down in order, as a machine does when it powers off: after a disorderly end the
        // TPM counts one failed authorisation at its next start, and a test that restarts it
        // often would lock it out.
        {
            Connection connection(tcti());
            if (connection.esys != nullptr)
                Esys_Shutdown(connection.esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                              TPM2_SU_CLEAR);
        }
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
}

bool SoftwareTpm::setOwnerPassword(const QByteArray& password) {
    Connection connection(tcti());
    TPM2B_AUTH auth{};
    if (connection.esys == nullptr || password.size() > qsizetype(sizeof(auth.buffer)))
        return false;
    auth.size = static_cast<UINT16>(password.size());
    std::memcpy(auth.buffer, password.constData(), auth.size);
    return Esys_HierarchyChangeAuth(connection.esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD,
                                    ESYS_TR_NONE, ESYS_TR_NONE, &auth) == TSS2_RC_SUCCESS;
}

int SoftwareTpm::fillTransientObjects() {
    Connection connection(tcti());
    if (connection.esys == nullptr)
        return 0;
    // Small, quick objects: keyed-hash primaries in the null hierarchy, never flushed.
    TPM2B_PUBLIC keyedHash{};
    keyedHash.publicArea.type = TPM2_ALG_KEYEDHASH;
    keyedHash.publicArea.nameAlg = TPM2_ALG_SHA256;
    keyedHash.publicArea.objectAttributes =
        TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_SENSITIVEDATAORIGIN;
    keyedHash.publicArea.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_HMAC;
    keyedHash.publicArea.parameters.keyedHashDetail.scheme.details.hmac.hashAlg = TPM2_ALG_SHA256;
    const TPM2B_SENSITIVE_CREATE noSecret{};
    const TPM2B_DATA noOutsideInfo{};
    const TPML_PCR_SELECTION noPcrs{};
    int taken = 0;
    for (; taken < 64; ++taken) {
        ESYS_TR handle = ESYS_TR_NONE;
        if (Esys_CreatePrimary(connection.esys, ESYS_TR_RH_NULL, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                               ESYS_TR_NONE, &noSecret, &keyedHash, &noOutsideInfo, &noPcrs,
                               &handle, nullptr, nullptr, nullptr, nullptr) != TSS2_RC_SUCCESS)
            break;
    }
    return taken;
}

bool SoftwareTpm::setLockoutPolicy(unsigned maxTries, unsigned recoverySeconds) {
    Connection connection(tcti());
    return connection.esys != nullptr &&
           Esys_DictionaryAttackParameters(connection.esys, ESYS_TR_RH_LOCKOUT, ESYS_TR_PASSWORD,
                                           ESYS_TR_NONE, ESYS_TR_NONE, maxTries, recoverySeconds,
                                           recoverySeconds) == TSS2_RC_SUCCESS;
}

} // namespace korvex::test
