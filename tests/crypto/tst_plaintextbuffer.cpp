#include "crypto/PlaintextBuffer.h"
#include "crypto/SecureBuffer.h"

#include <QFile>
#include <QtTest>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <unistd.h>

using namespace korvex::crypto;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

bool allBytesAre(const std::uint8_t* bytes, std::size_t length, std::uint8_t value) {
    return std::all_of(bytes, bytes + length, [value](std::uint8_t b) { return b == value; });
}

// The VmFlags line of the mapping in /proc/self/smaps that contains address, split into its
// two-letter flags ("dd": left out of core dumps, "hg": huge pages asked for).
QList<QByteArray> mappingFlags(const void* address) {
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly))
        return {};
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    // readAll, not atEnd: a /proc file reports a size of 0.
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.first().endsWith(':')) {
            if (inside && fields.first() == "VmFlags:")
                return fields.mid(1);
            continue;
        }
        // A mapping's first line starts with its address range, "start-end".
        const QList<QByteArray> range = fields.first().split('-');
        bool okStart = false;
        bool okEnd = false;
        const qulonglong start = range.value(0).toULongLong(&okStart, 16);
        const qulonglong end = range.value(1).toULongLong(&okEnd, 16);
        inside = okStart && okEnd && wanted >= start && wanted < end;
    }
    return {};
}

} // namespace

class TestPlaintextBuffer : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void allocation_data();
    void allocation();
    void zeroCapacityHoldsNothing();
    void failedMappingThrows();
    void viewSelectsPartOfTheAllocation();
    void moveConstructionTransfersOwnership();
    void moveAssignmentReleasesTargetFirst();
    void wipeAllZeroesTheWholeCapacity();
};

// A slot left behind would be wiped at a crash long after its memory had been unmapped.
void TestPlaintextBuffer::cleanup() {
    QCOMPARE(SecureBufferRegistry::registeredCount(), 0);
}

void TestPlaintextBuffer::allocation_data() {
    QTest::addColumn<qulonglong>("capacity");
    QTest::addColumn<bool>("hugePages");
    QTest::newRow("one byte") << qulonglong(1) << false;
    QTest::newRow("page") << qulonglong(4096) << false;
    QTest::newRow("page plus one") << qulonglong(4097) << false;
    QTest::newRow("just under 2 MiB") << qulonglong(2 * kMiB - 1) << false;
    QTest::newRow("2 MiB") << qulonglong(2 * kMiB) << true;
    QTest::newRow("a record past 2 MiB") << qulonglong(3 * kMiB + 41) << true;
}

void TestPlaintextBuffer::allocation() {
    QFETCH(qulonglong, capacity);
    QFETCH(bool, hugePages);
    PlaintextBuffer buffer(capacity);

    QVERIFY(!buffer.empty());
    QCOMPARE(buffer.capacity(), std::size_t(capacity));
    QCOMPARE(buffer.size(), std::size_t(capacity));
    QCOMPARE(buffer.data(), buffer.storage());
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    QCOMPARE(reinterpret_cast<std::uintptr_t>(buffer.storage()) % pageSize, std::uintptr_t(0));
    QVERIFY(buffer.registrySlot() >= 0);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);

    // Fresh anonymous memory reads as zero and is writable up to the last byte.
    QVERIFY(allBytesAre(buffer.storage(), buffer.capacity(), 0));
    std::memset(buffer.storage(), 0xC3, buffer.capacity());
    QVERIFY(allBytesAre(buffer.storage(), buffer.capacity(), 0xC3));

    const QList<QByteArray> flags = mappingFlags(buffer.storage());
    QVERIFY2(!flags.isEmpty(), "the mapping is missing from /proc/self/smaps");
    QVERIFY2(flags.contains("dd"), "the content would be written to a core dump");
    // A kernel built without transparent huge pages refuses the advice, and may.
    if (QFile::exists(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled")))
        QCOMPARE(flags.contains("hg"), hugePages);
}

void TestPlaintextBuffer::zeroCapacityHoldsNothing() {
    PlaintextBuffer zero(0);
    const PlaintextBuffer defaulted;
    for (const PlaintextBuffer* buffer :
         std::initializer_list<const PlaintextBuffer*>{&zero, &defaulted}) {
        QVERIFY(buffer->empty());
        QCOMPARE(buffer->data(), nullptr);
        QCOMPARE(buffer->size(), std::size_t(0));
        QCOMPARE(buffer->capacity(), std::size_t(0));
        QCOMPARE(buffer->registrySlot(), -1);
    }
    zero.setView(0, 0);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, zero.setView(0, 1));
}

void TestPlaintextBuffer::failedMappingThrows() {
    // Too large to round up to whole pages, and too large for any address space.
    for (std::size_t capacity : {std::numeric_limits<std::size_t>::max(), std::size_t(1) << 62}) {
        QVERIFY_THROWS_EXCEPTION(std::bad_alloc, PlaintextBuffer{capacity});
        QCOMPARE(SecureBufferRegistry::registeredCount(), 0);
    }
}

void TestPlaintextBuffer::viewSelectsPartOfTheAllocation() {
    PlaintextBuffer buffer(100);
    for (std::size_t i = 0; i < buffer.capacity(); ++i)
        buffer.storage()[i] = std::uint8_t(i);

    buffer.setView(25, 60);
    QCOMPARE(buffer.data(), buffer.storage() + 25);
    QCOMPARE(buffer.size(), std::size_t(60));
    QCOMPARE(buffer.viewOffset(), std::size_t(25));
    QCOMPARE(buffer.bytes().data(), buffer.data());
    QCOMPARE(buffer.bytes().size(), std::size_t(60));
    QCOMPARE(buffer.data()[0], std::uint8_t(25));
    QCOMPARE(buffer.capacity(), std::size_t(100));

    // An empty view (an empty file) still owns its memory.
    buffer.setView(100, 0);
    QCOMPARE(buffer.size(), std::size_t(0));
    QVERIFY(!buffer.empty());

    // A view reaching past the capacity is refused and leaves the old one in place.
    const struct {
        std::size_t offset;
        std::size_t size;
    } outside[] = {{0, 101}, {101, 0}, {40, 61}, {1, std::numeric_limits<std::size_t>::max()}};
    for (const auto& view : outside) {
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, buffer.setView(view.offset, view.size));
        QCOMPARE(buffer.viewOffset(), std::size_t(100));
        QCOMPARE(buffer.size(), std::size_t(0));
    }
}

void TestPlaintextBuffer::moveConstructionTransfersOwnership() {
    auto source = std::make_unique<PlaintextBuffer>(3 * kMiB);
    std::memset(source->storage(), 0x5A, source->capacity());
    source->setView(25, 1000);
    const std::uint8_t* address = source->storage();
    const int slot = source->registrySlot();

    PlaintextBuffer target(std::move(*source));
    QVERIFY(source->empty());
    QCOMPARE(source->data(), nullptr);
    QCOMPARE(source->size(), std::size_t(0));
    QCOMPARE(source->capacity(), std::size_t(0));
    QCOMPARE(source->registrySlot(), -1);

    // Destroying the moved-from buffer neither unmaps the memory nor gives up the slot.
    source.reset();
    QCOMPARE(target.storage(), address);
    QCOMPARE(target.data(), address + 25);
    QCOMPARE(target.size(), std::size_t(1000));
    QCOMPARE(target.capacity(), 3 * kMiB);
    QCOMPARE(target.registrySlot(), slot);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);
    QVERIFY(allBytesAre(target.storage(), target.capacity(), 0x5A));
}

void TestPlaintextBuffer::moveAssignmentReleasesTargetFirst() {
    PlaintextBuffer target(64);
    const int targetSlot = target.registrySlot();
    PlaintextBuffer source(128);
    std::memset(source.storage(), 0x22, source.capacity());
    source.setView(8, 16);
    const std::uint8_t* sourceAddress = source.storage();
    const int sourceSlot = source.registrySlot();
    QCOMPARE(SecureBufferRegistry::registeredCount(), 2);

    target = std::move(source);
    QCOMPARE(target.storage(), sourceAddress);
    QCOMPARE(target.data(), sourceAddress + 8);
    QCOMPARE(target.size(), std::size_t(16));
    QCOMPARE(target.capacity(), std::size_t(128));
    QCOMPARE(target.registrySlot(), sourceSlot);
    QVERIFY(source.empty());
    QCOMPARE(source.registrySlot(), -1);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);

    // The target's old slot is free again: the next registration takes it (lowest first).
    const SecureBuffer next(8);
    QCOMPARE(next.registrySlot(), targetSlot);

    PlaintextBuffer& alias = target;
    target = std::move(alias);
    QCOMPARE(target.data(), sourceAddress + 8);
    QCOMPARE(target.registrySlot(), sourceSlot);
    QVERIFY(allBytesAre(target.storage(), target.capacity(), 0x22));

    target = PlaintextBuffer();
    QVERIFY(target.empty());
    QCOMPARE(target.registrySlot(), -1);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);
}

void TestPlaintextBuffer::wipeAllZeroesTheWholeCapacity() {
    PlaintextBuffer small(5000);
    PlaintextBuffer large(2 * kMiB + 41);
    for (PlaintextBuffer* buffer : {&small, &large}) {
        std::memset(buffer->storage(), 0xA5, buffer->capacity());
        buffer->setView(25, 16); // the wipe is not limited to the view
    }
    QCOMPARE(SecureBufferRegistry::registeredCount(), 2);

    wipeAllSecureBuffers();

    for (const PlaintextBuffer* buffer : {&small, &large}) {
        QVERIFY(allBytesAre(buffer->storage(), buffer->capacity(), 0));
        QVERIFY(buffer->registrySlot() >= 0);
    }
}

QTEST_APPLESS_MAIN(TestPlaintextBuffer)
#include "tst_plaintextbuffer.moc"
