// The secure erase of an imported original (three passes: 0x00, 0xFF, random, each synced to the
// device, then the delete) against the disk's own limit: the same three passes written with plain
// write() calls of the same chunk size from a buffer filled once, each followed by fsync.
//
// Sizes are in MiB. Files live in a scratch folder under /tmp (set TMPDIR to measure another
// file system). For the figure next to shred: time shred -n 3 -u on a file of the same size.

#include "protect/FileProtection.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr std::size_t kChunk = 1024 * 1024;

bool writeRandomFile(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::vector<char> chunk(kChunk);
    for (qint64 done = 0; done < bytes; done += qint64(chunk.size())) {
        randombytes_buf(chunk.data(), chunk.size());
        if (file.write(chunk.data(), qint64(chunk.size())) != qint64(chunk.size()))
            return false;
    }
    return file.flush();
}

// Times erase(path, bytes) on a fresh file of range(0) MiB, written and synced untimed before
// each iteration; the bytes counted are the three passes.
template <typename Erase> void timeErasing(benchmark::State& state, Erase erase) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("original"));
    const qint64 bytes = state.range(0) * kMiB;
    for (auto _ : state) {
        state.PauseTiming();
        if (!writeRandomFile(path, bytes)) {
            state.SkipWithError("could not write the file");
            return;
        }
        ::sync();
        state.ResumeTiming();
        if (!erase(path, bytes)) {
            state.SkipWithError("the erase failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes * 3);
}

void BM_SecureErase(benchmark::State& state) {
    timeErasing(state,
                [](const QString& path, qint64) { return korvex::protect::secureErase(path); });
}
BENCHMARK(BM_SecureErase)->Arg(64)->Arg(256)->UseRealTime()->Unit(benchmark::kMillisecond);

// The floor: three passes of plain writes and an fsync after each, then unlink.
void BM_ThreePlainPasses(benchmark::State& state) {
    std::vector<unsigned char> chunk(kChunk);
    timeErasing(state, [&chunk](const QString& path, qint64 bytes) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
        if (fd < 0)
            return false;
        for (int pass = 0; pass < 3; ++pass) {
            if (pass == 2)
                randombytes_buf(chunk.data(), chunk.size());
            else
                std::fill(chunk.begin(), chunk.end(), pass == 0 ? 0x00 : 0xFF);
            ::lseek(fd, 0, SEEK_SET);
            for (qint64 done = 0; done < bytes; done += qint64(chunk.size()))
                benchmark::DoNotOptimize(::write(fd, chunk.data(), chunk.size()));
            ::fsync(fd);
        }
        ::close(fd);
        return ::unlink(QFile::encodeName(path).constData()) == 0;
    });
}
BENCHMARK(BM_ThreePlainPasses)->Arg(64)->Arg(256)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
