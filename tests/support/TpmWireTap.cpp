#include "support/TpmWireTap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace korvex::test {

namespace {

int listenOn(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int connectTo(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        length -= sent;
    }
    return true;
}

// One client connection and its connection onward to the TPM.
struct Link {
    int client = -1;
    int tpm = -1;
    bool commands = false; // the command channel (recorded), not the control channel
};

} // namespace

TpmWireTap::TpmWireTap(quint16 tpmPort) : tpmPort_(tpmPort) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
        return;
    // A pair of free neighbouring ports, as swtpm's own.
    for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
        const int first = listenOn(0);
        const quint16 port = first >= 0 ? portOf(first) : 0;
        const int second = port != 0 && port < 65535 ? listenOn(port + 1) : -1;
        if (second >= 0) {
            listeners_[0] = first;
            listeners_[1] = second;
            port_ = port;
        } else if (first >= 0) {
            ::close(first);
        }
    }
    if (port_ != 0)
        thread_ = std::thread([this] { run(); });
}

TpmWireTap::~TpmWireTap() {
    if (thread_.joinable()) {
        const char stop = 1;
        [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {listeners_[0], listeners_[1], stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString TpmWireTap::tcti() const {
    return QStringLiteral("swtpm:host=127.0.0.1,port=%1").arg(port_);
}

QByteArray TpmWireTap::sentToTpm() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

QByteArray TpmWireTap::receivedFromTpm() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void TpmWireTap::run() {
    std::vector<Link> links;
    for (;;) {
        std::vector<pollfd> watched{
            {stopPipe_[0], POLLIN, 0}, {listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}};
        for (const Link& link : links) {
            watched.push_back({link.client, POLLIN, 0});
            watched.push_back({link.tpm, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), -1) < 0)
            continue;
        if (watched[0].revents != 0)
            break;
        // Connections accepted below are watched from the next round on.
        const std::size_t watchedLinks = links.size();
        for (int channel = 0; channel < 2; ++channel) {
            if ((watched[1 + channel].revents & POLLIN) == 0)
                continue;
            const int client = ::accept4(listeners_[channel], nullptr, nullptr, SOCK_CLOEXEC);
            const int tpm = client >= 0 ? connectTo(tpmPort_ + channel) : -1;
            if (tpm >= 0)
                links.push_back(Link{client, tpm, channel == 0});
            else if (client >= 0)
                ::close(client);
        }
        std::vector<Link> open(links.begin() + std::ptrdiff_t(watchedLinks), links.end());
        for (std::size_t i = 0; i < watchedLinks; ++i) {
            const Link& link = links[i];
            bool alive = true;
            for (int side = 0; side < 2 && alive; ++side) {
                const pollfd& ready = watched[3 + 2 * i + side];
                if (ready.revents == 0)
                    continue;
                const int from = side == 0 ? link.client : link.tpm;
                const int to = side == 0 ? link.tpm : link.client;
                char buffer[8192];
                const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
                if (got <= 0 || !sendAll(to, buffer, got)) {
                    alive = false;
                    break;
                }
                if (link.commands) {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    (side == 0 ? sent_ : received_).append(buffer, got);
                }
            }
            if (alive) {
                open.push_back(link);
            } else {
                ::close(link.client);
                ::close(link.tpm);
            }
        }
        links = std::move(open);
    }
    for (const Link& link : links) {
        ::close(link.client);
        ::close(link.tpm);
    }
}

} // namespace korvex::test
