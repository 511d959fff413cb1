// Throughput and latency of the vault operations on a real FileBlockStore, next to the limits
// they are bound by: raw AEAD on preallocated buffers (libsodium's one-call form, and the
// cipher stream the vault runs), and a plain write + fdatasync of the same number of bytes to
// the same file system.
//
// Sizes are in MiB (".../256" is 256 MiB); entry counts are the number of files in the index.
// Everything lives in one scratch folder under /tmp that is removed at exit. Peak memory of one
// case alone: /usr/bin/time -v zelvora-bench-vault --benchmark_filter='Import.*/256'

#include "crypto/AeadCipher.h"
#include "crypto/AeadStream.h"
#include "crypto/Bytes.h"
#include "crypto/PlaintextBuffer.h"
#include "crypto/SecureBuffer.h"
#include "vault/FileBlockStore.h"
#include "vault/IVaultBlockStore.h"
#include "vault/VaultContainer.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <sodium.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using korvex::crypto::AeadCipher;
using korvex::crypto::Bytes;
using korvex::crypto::PlaintextBuffer;
using korvex::crypto::SecureBuffer;
using korvex::vault::FileBlockStore;
using korvex::vault::IVaultBlockStore;
using korvex::vault::VaultContainer;

constexpr qint64 kMiB = 1024 * 1024;
// The stand-in for a small document in the latency cases.
constexpr qint64 kSmallFileBytes = 64;
// About the size of an entry's associated data (vault id, entry id, machine id).
constexpr std::size_t kAssociatedDataBytes = 100;

const QString kMachineId = QStringLiteral("bench-machine-0001");

void ensureSodium() {
    if (sodium_init() < 0)
        std::abort();
}

QTemporaryDir& scratchDir() {
    static QTemporaryDir dir(QStringLiteral("/tmp/zelvora-bench-XXXXXX"));
    return dir;
}

QString scratchPath(const QString& name) {
    return scratchDir().filePath(name);
}

const SecureBuffer& vaultKey() {
    static const SecureBuffer key = AeadCipher::generateKey();
    return key;
}

QString entryName(int index) {
    return QStringLiteral("document-%1.pdf").arg(index, 5, 10, QLatin1Char('0'));
}

// A file of random (incompressible) bytes, written once per run in 1 MiB pieces so that making
// it adds nothing to the peak memory of the case that uses it.
QString sourceFile(qint64 bytes) {
    ensureSodium();
    const QString path = scratchPath(QStringLiteral("source-%1.bin").arg(bytes));
    if (QFileInfo(path).size() == bytes)
        return path;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    std::vector<char> chunk(static_cast<std::size_t>(std::min(bytes, kMiB)));
    for (qint64 done = 0; done < bytes;) {
        const qint64 n = std::min<qint64>(bytes - done, static_cast<qint64>(chunk.size()));
        randombytes_buf(chunk.data(), static_cast<std::size_t>(n));
        if (file.write(chunk.data(), n) != n)
            return QString();
        done += n;
    }
    return path;
}

std::unique_ptr<VaultContainer> createVault(const QString& path) {
    QFile::remove(path);
    return VaultContainer::create(std::make_unique<FileBlockStore>(path), vaultKey(), kMachineId);
}

std::unique_ptr<VaultContainer> openVault(const QString& path) {
    return VaultContainer::open(std::make_unique<FileBlockStore>(path), vaultKey(), kMachineId);
}

// Setup only: a file store that skips the disk syncs until it is closed, so that building a
// vault of a few thousand entries does not wait for two syncs per entry. Every measured
// operation runs on a plain FileBlockStore.
class DeferredSyncStore final : public IVaultBlockStore {
public:
    explicit DeferredSyncStore(const QString& path) : inner_(path) {}
    ~DeferredSyncStore() override { close(); }

    bool exists() const override { return inner_.exists(); }
    bool create() override { return inner_.create(); }
    bool open() override { return inner_.open(); }
    void close() override {
        if (inner_.isOpen())
            inner_.flush();
        inner_.close();
    }
    bool isOpen() const override { return inner_.isOpen(); }
    QString errorString() const override { return inner_.errorString(); }
    bool remove() override { return inner_.remove(); }
    qint64 size() const override { return inner_.size(); }
    bool resize(qint64 newSize) override { return inner_.resize(newSize); }
    bool readAt(qint64 offset, void* buffer, qint64 length) override {
        return inner_.readAt(offset, buffer, length);
    }
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override {
        return inner_.writeAt(offset, buffer, length);
    }
    bool flush() override { return inner_.isOpen(); }

private:
    FileBlockStore inner_;
};

// A closed vault holding `count` small entries, built once per run and shared by the open and
// commit cases (the commit case leaves it with `count` entries again). Empty with *error set when
// the index cannot hold that many entries.
QString filledVault(int count, std::string* error) {
    static std::map<int, QString> built;
    if (const auto it = built.find(count); it != built.end())
        return it->second;
    const QString small = sourceFile(kSmallFileBytes);
    const QString path = scratchPath(QStringLiteral("filled-%1.kvxs").arg(count));
    QFile::remove(path);
    auto vault =
        VaultContainer::create(std::make_unique<DeferredSyncStore>(path), vaultKey(), kMachineId);
    if (!vault) {
        *error = "could not create the vault";
        return QString();
    }
    for (int i = 0; i < count; ++i) {
        if (!vault->importFile(small, entryName(i))) {
            *error = "the index holds only " + std::to_string(i) + " entries of " +
                     std::to_string(kSmallFileBytes) + " bytes";
            return QString();
        }
    }
    built.emplace(count, path);
    return path;
}

// ---------------------------------------------------------------------------------------------
// Vault throughput

// One import of the source file into an empty vault per iteration. The import includes its
// commit, so the two disk syncs (the second one small) are part of every figure.
void BM_VaultImport(benchmark::State& state) {
    const qint64 bytes = state.range(0) * kMiB;
    const QString source = sourceFile(bytes);
    const QString path = scratchPath(QStringLiteral("import.kvxs"));
    if (source.isEmpty()) {
        state.SkipWithError("could not write the source file");
        return;
    }
    std::unique_ptr<VaultContainer> vault;
    int serial = 0;
    for (auto _ : state) {
        state.PauseTiming();
        vault.reset();
        vault = createVault(path);
        const QString name = entryName(serial++);
        state.ResumeTiming();
        if (!vault || !vault->importFile(source, name)) {
            state.SkipWithError("importFile failed");
            break;
        }
    }
    vault.reset();
    QFile::remove(path);
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_VaultImport)->Arg(1)->Arg(64)->Arg(256)->UseRealTime()->Unit(benchmark::kMillisecond);

// Reads back one stored file; the container file is warm in the page cache, so this is the
// in-memory cost of a read rather than the disk's.
void BM_VaultRead(benchmark::State& state) {
    const qint64 bytes = state.range(0) * kMiB;
    const QString source = sourceFile(bytes);
    const QString path = scratchPath(QStringLiteral("read.kvxs"));
    const QString name = entryName(0);
    std::unique_ptr<VaultContainer> vault = createVault(path);
    if (source.isEmpty() || !vault || !vault->importFile(source, name)) {
        state.SkipWithError("could not set up the vault");
        return;
    }
    for (auto _ : state) {
        std::optional<PlaintextBuffer> content = vault->readFile(name);
        if (!content || static_cast<qint64>(content->size()) != bytes) {
            state.SkipWithError("readFile failed");
            break;
        }
        benchmark::DoNotOptimize(content->data());
    }
    vault.reset();
    QFile::remove(path);
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_VaultRead)->Arg(1)->Arg(64)->Arg(256)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Vault latency

// The largest count is 1,800 because the index region (524,240 bytes) holds at most about 1,825
// entries shaped like these, at roughly 287 bytes of index JSON each; 2,000 do not fit.

// One commit: importing a small file into a vault whose index already holds range(0) entries.
// The new entry is removed again outside the timing, so every iteration sees the same index.
void BM_VaultCommit(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::string error;
    const QString path = filledVault(count, &error);
    if (path.isEmpty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const QString small = sourceFile(kSmallFileBytes);
    std::unique_ptr<VaultContainer> vault = openVault(path);
    if (!vault) {
        state.SkipWithError("could not open the vault");
        return;
    }
    const QString name = entryName(count);
    for (auto _ : state) {
        if (!vault->importFile(small, name)) {
            state.SkipWithError("importFile failed");
            break;
        }
        state.PauseTiming();
        const bool removed = vault->removeFile(name);
        state.ResumeTiming();
        if (!removed) {
            state.SkipWithError("removeFile failed");
            break;
        }
    }
}
BENCHMARK(BM_VaultCommit)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(1800)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// VaultContainer::open on a closed vault with range(0) entries: header selection, reading and
// decrypting the index, and parsing it into the entry list.
void BM_VaultOpen(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::string error;
    const QString path = filledVault(count, &error);
    if (path.isEmpty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<VaultContainer> vault = openVault(path);
        state.PauseTiming();
        const bool complete = vault && vault->listEntries().size() == count;
        vault.reset(); // the destructor's flush and close are not part of opening
        state.ResumeTiming();
        if (!complete) {
            state.SkipWithError("open failed or lost entries");
            break;
        }
    }
}
BENCHMARK(BM_VaultOpen)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(1800)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Limits: raw AEAD on preallocated buffers, and the disk

enum class Suite { Aes256Gcm, XChaCha20Poly1305 };

struct AeadBuffers {
    explicit AeadBuffers(std::size_t bytes)
        : plaintext(bytes), ciphertext(bytes + crypto_aead_aes256gcm_ABYTES), decrypted(bytes),
          ad(kAssociatedDataBytes), key(crypto_aead_xchacha20poly1305_ietf_KEYBYTES),
          nonce(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES) {
        static_assert(crypto_aead_aes256gcm_ABYTES == crypto_aead_xchacha20poly1305_ietf_ABYTES);
        static_assert(crypto_aead_aes256gcm_KEYBYTES ==
                      crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
        randombytes_buf(plaintext.data(), plaintext.size());
        randombytes_buf(ad.data(), ad.size());
        randombytes_buf(key.data(), key.size());
        randombytes_buf(nonce.data(), nonce.size());
    }

    int encrypt(Suite suite) {
        unsigned long long length = 0;
        if (suite == Suite::Aes256Gcm)
            return crypto_aead_aes256gcm_encrypt(ciphertext.data(), &length, plaintext.data(),
                                                 plaintext.size(), ad.data(), ad.size(), nullptr,
                                                 nonce.data(), key.data());
        return crypto_aead_xchacha20poly1305_ietf_encrypt(
            ciphertext.data(), &length, plaintext.data(), plaintext.size(), ad.data(), ad.size(),
            nullptr, nonce.data(), key.data());
    }

    int decrypt(Suite suite) {
        unsigned long long length = 0;
        if (suite == Suite::Aes256Gcm)
            return crypto_aead_aes256gcm_decrypt(decrypted.data(), &length, nullptr,
                                                 ciphertext.data(), ciphertext.size(), ad.data(),
                                                 ad.size(), nonce.data(), key.data());
        return crypto_aead_xchacha20poly1305_ietf_decrypt(
            decrypted.data(), &length, nullptr, ciphertext.data(), ciphertext.size(), ad.data(),
            ad.size(), nonce.data(), key.data());
    }

    Bytes plaintext;
    Bytes ciphertext;
    Bytes decrypted;
    Bytes ad;
    Bytes key;
    Bytes nonce;
};

bool suiteAvailable(benchmark::State& state, Suite suite) {
    ensureSodium();
    if (suite == Suite::Aes256Gcm && crypto_aead_aes256gcm_is_available() == 0) {
        state.SkipWithError("AES-256-GCM is not available on this processor");
        return false;
    }
    return true;
}

void BM_RawAeadEncrypt(benchmark::State& state, Suite suite) {
    if (!suiteAvailable(state, suite))
        return;
    AeadBuffers buffers(static_cast<std::size_t>(state.range(0) * kMiB));
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffers.encrypt(suite));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
}
BENCHMARK_CAPTURE(BM_RawAeadEncrypt, aes256gcm, Suite::Aes256Gcm)
    ->Arg(1)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawAeadEncrypt, xchacha20poly1305, Suite::XChaCha20Poly1305)
    ->Arg(1)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_RawAeadDecrypt(benchmark::State& state, Suite suite) {
    if (!suiteAvailable(state, suite))
        return;
    AeadBuffers buffers(static_cast<std::size_t>(state.range(0) * kMiB));
    buffers.encrypt(suite);
    for (auto _ : state) {
        if (buffers.decrypt(suite) != 0) {
            state.SkipWithError("decryption failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
}
BENCHMARK_CAPTURE(BM_RawAeadDecrypt, aes256gcm, Suite::Aes256Gcm)
    ->Arg(1)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RawAeadDecrypt, xchacha20poly1305, Suite::XChaCha20Poly1305)
    ->Arg(1)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The cipher the vault itself runs over a stored file, in place and in one piece: the figure a
// read or an import is bound by.
void BM_StreamAead(benchmark::State& state, Suite suite, bool encrypt) {
    if (!suiteAvailable(state, suite))
        return;
    AeadBuffers buffers(static_cast<std::size_t>(state.range(0) * kMiB));
    const SecureBuffer key = SecureBuffer::copyOf(buffers.key.data(), buffers.key.size());
    const auto suiteByte = static_cast<std::uint8_t>(suite == Suite::Aes256Gcm ? 0 : 1);
    std::uint8_t tag[korvex::crypto::kTagBytes] = {};
    for (auto _ : state) {
        std::optional<korvex::crypto::AeadStream> stream =
            encrypt
                ? korvex::crypto::AeadStream::encrypting(suiteByte, key, buffers.nonce, buffers.ad)
                : korvex::crypto::AeadStream::decrypting(suiteByte, key, buffers.nonce, buffers.ad);
        if (!stream || !stream->update(buffers.plaintext.data(), buffers.plaintext.data(),
                                       buffers.plaintext.size())) {
            state.SkipWithError("the cipher failed");
            break;
        }
        // A decryption's tag fails here (the buffer was never encrypted under it); the work
        // done is the same.
        benchmark::DoNotOptimize(encrypt ? stream->finish(tag) : stream->verify(tag));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
}
BENCHMARK_CAPTURE(BM_StreamAead, encrypt / aes256gcm, Suite::Aes256Gcm, true)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StreamAead, decrypt / aes256gcm, Suite::Aes256Gcm, false)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StreamAead, decrypt / xchacha20poly1305, Suite::XChaCha20Poly1305, false)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// What the disk allows an import: the same bytes written to a new file in the scratch folder
// from a ready buffer, then fdatasync.
void BM_DiskWriteSync(benchmark::State& state) {
    ensureSodium();
    const std::size_t bytes = static_cast<std::size_t>(state.range(0) * kMiB);
    Bytes buffer(bytes);
    randombytes_buf(buffer.data(), buffer.size());
    const QByteArray path = QFile::encodeName(scratchPath(QStringLiteral("disk-write.bin")));
    for (auto _ : state) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0;
        for (std::size_t done = 0; ok && done < bytes;) {
            const ssize_t put = ::write(fd, buffer.data() + done, bytes - done);
            ok = put > 0 || (put < 0 && errno == EINTR);
            done += put > 0 ? static_cast<std::size_t>(put) : 0;
        }
        ok = ok && ::fdatasync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        state.PauseTiming();
        ::unlink(path.constData());
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("write or fdatasync failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
}
BENCHMARK(BM_DiskWriteSync)
    ->Arg(1)
    ->Arg(64)
    ->Arg(256)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
