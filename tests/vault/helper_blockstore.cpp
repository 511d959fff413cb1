// Opens and closes the vault file at <path> <iterations> times, as a second Zelvora would, to
// find out whether two processes can ever hold it open at once. While it holds the store it
// creates <marker> exclusively: finding the marker there means the other process holds the
// store too.
//
//   helper_blockstore <path> <marker> <go-file> <iterations>
//
// It prints "READY" and waits for <go-file> to appear, so that two of them start together.
// Exit status 0: never both; 3: both held the store at once; 2: a usage or set-up error. The
// number of successful opens is printed last.

#include "vault/FileBlockStore.h"

#include <QFile>
#include <QString>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    const QString path = QFile::decodeName(argv[1]);
    const QByteArray marker = argv[2];
    const char* go = argv[3];
    const int iterations = std::atoi(argv[4]);

    std::printf("READY\n");
    std::fflush(stdout);
    for (int waited = 0; ::access(go, F_OK) != 0; ++waited) {
        if (waited > 20000)
            return 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    int opened = 0;
    for (int i = 0; i < iterations; ++i) {
        korvex::vault::FileBlockStore store(path);
        if (!store.open())
            continue;
        ++opened;
        const int fd = ::open(marker.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            std::printf("BOTH after %d opens\n", opened);
            return errno == EEXIST ? 3 : 2;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        ::unlink(marker.constData());
        ::close(fd);
        store.close();
    }
    std::printf("%d\n", opened);
    return 0;
}
