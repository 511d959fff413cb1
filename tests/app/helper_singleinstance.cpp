// Zelvora's single-instance check in a process of its own, so that a test can start several at
// the same moment, stop or kill the first, or connect as another user:
//
//   helper_singleinstance start <dataFolder> [<startFd>]
//     Prints READY; with startFd, waits for the end of that pipe (the shared start signal).
//     Then starts, with a minute for each wait (load is never taken for an unreachable first),
//     and prints the outcome: FIRST, SIGNED-IN, SIGNED-OUT, UNREACHABLE or UNAVAILABLE. A first
//     stays signed out, prints ACTIVATED for each later start, and ends when its standard input
//     does.
//   helper_singleinstance connect <socketPath>
//     Exit status 0 when a connection to the socket could be made, 1 when not.
//
// Exit status 2 is a usage error.

#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using korvex::app::SingleInstance;

namespace {

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

const char* nameOf(SingleInstance::Outcome outcome) {
    switch (outcome) {
    case SingleInstance::Outcome::First:
        return "FIRST";
    case SingleInstance::Outcome::OtherSignedIn:
        return "SIGNED-IN";
    case SingleInstance::Outcome::OtherSignedOut:
        return "SIGNED-OUT";
    case SingleInstance::Outcome::OtherUnreachable:
        return "UNREACHABLE";
    case SingleInstance::Outcome::Unavailable:
        return "UNAVAILABLE";
    }
    return "?";
}

void waitForEndOf(int fd) {
    char byte = 0;
    while (::read(fd, &byte, 1) > 0) {
    }
    ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "connect") == 0) {
        QLocalSocket socket;
        socket.connectToServer(QFile::decodeName(argv[2]));
        return socket.waitForConnected(5000) ? 0 : 1;
    }
    if ((argc != 3 && argc != 4) || std::strcmp(argv[1], "start") != 0)
        return 2;

    say("READY");
    if (argc == 4)
        waitForEndOf(std::atoi(argv[3]));

    const std::chrono::minutes bound(1);
    SingleInstance instance(QFile::decodeName(argv[2]), {bound, bound});
    const SingleInstance::Outcome outcome = instance.start();
    say(nameOf(outcome));
    if (outcome != SingleInstance::Outcome::First)
        return 0;

    QObject::connect(&instance, &SingleInstance::activationRequested, [] { say("ACTIVATED"); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}
