#include "CryptoTestUtil.h"
#include "crypto/SecureBuffer.h"

#include <QtTest>
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <latch>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace korvex::crypto;

namespace {

bool allBytesAre(const std::uint8_t* bytes, std::size_t length, std::uint8_t value) {
    return std::all_of(bytes, bytes + length, [value](std::uint8_t b) { return b == value; });
}

bool allBytesAre(const SecureBuffer& buffer, std::uint8_t value) {
    return allBytesAre(buffer.data(), buffer.size(), value);
}

void fill(SecureBuffer& buffer, std::uint8_t value) {
    std::memset(buffer.data(), value, buffer.size());
}

} // namespace

class TestSecureBuffer : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void allocation_data();
    void allocation();
    void moveConstructionTransfersOwnership();
    void moveAssignmentReleasesTargetFirst();
    void selfMoveAssignmentChangesNothing();
    void copiesAreIndependent();
    void wipeAllZeroesEveryRegisteredBuffer();
    void releasedSlotIsNoLongerWiped();
    void registryFullLeavesNewBuffersUsableButUnregistered();
    void concurrentConstructionNeverSharesASlot();
};

// Every test must give back every slot it took: a leaked slot would be wiped at a crash long after
// its memory had gone, and would shrink the registry for the rest of the process.
void TestSecureBuffer::cleanup() {
    QCOMPARE(SecureBufferRegistry::registeredCount(), 0);
}

void TestSecureBuffer::allocation_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("key") << 32;
    QTest::newRow("page minus one") << 4095;
    QTest::newRow("page") << 4096;
    QTest::newRow("page plus one") << 4097;
    QTest::newRow("large") << 300000;
}

void TestSecureBuffer::allocation() {
    QFETCH(int, size);
    SecureBuffer buffer(static_cast<std::size_t>(size));
    QCOMPARE(buffer.size(), static_cast<std::size_t>(size));
    if (size == 0) {
        QVERIFY(buffer.empty());
        QCOMPARE(buffer.data(), nullptr);
        QCOMPARE(buffer.registrySlot(), -1);
        QCOMPARE(SecureBufferRegistry::registeredCount(), 0);
        return;
    }
    QVERIFY(!buffer.empty());
    QVERIFY(buffer.data() != nullptr);
    QVERIFY(buffer.registrySlot() >= 0 && buffer.registrySlot() < SecureBufferRegistry::kCapacity);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);
    // Every usable byte is writable up to the guard page that follows the allocation.
    fill(buffer, 0xC3);
    QVERIFY(allBytesAre(buffer, 0xC3));
}

void TestSecureBuffer::moveConstructionTransfersOwnership() {
    auto source = std::make_unique<SecureBuffer>(48);
    fill(*source, 0x5A);
    const std::uint8_t* address = source->data();
    const int slot = source->registrySlot();
    QVERIFY(slot >= 0);

    SecureBuffer target(std::move(*source));
    QCOMPARE(source->data(), nullptr);
    QCOMPARE(source->size(), std::size_t(0));
    QCOMPARE(source->registrySlot(), -1);

    // Destroying the moved-from buffer must neither free the memory nor give up the slot.
    source.reset();
    QCOMPARE(target.data(), address);
    QCOMPARE(target.size(), std::size_t(48));
    QCOMPARE(target.registrySlot(), slot);
    QVERIFY(allBytesAre(target, 0x5A));
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);

    // The slot still points at the memory the target now owns.
    wipeAllSecureBuffers();
    QVERIFY(allBytesAre(target, 0));
}

void TestSecureBuffer::moveAssignmentReleasesTargetFirst() {
    SecureBuffer target(16);
    fill(target, 0x11);
    const int targetSlot = target.registrySlot();
    SecureBuffer source(64);
    fill(source, 0x22);
    const std::uint8_t* sourceAddress = source.data();
    const int sourceSlot = source.registrySlot();
    QCOMPARE(SecureBufferRegistry::registeredCount(), 2);

    target = std::move(source);
    QCOMPARE(target.data(), sourceAddress);
    QCOMPARE(target.size(), std::size_t(64));
    QCOMPARE(target.registrySlot(), sourceSlot);
    QVERIFY(allBytesAre(target, 0x22));
    QCOMPARE(source.data(), nullptr);
    QCOMPARE(source.size(), std::size_t(0));
    QCOMPARE(source.registrySlot(), -1);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);

    // The target's old slot is free again, so the next buffer takes it (slots are claimed lowest
    // first and nothing below it has been freed since).
    SecureBuffer next(8);
    QCOMPARE(next.registrySlot(), targetSlot);

    // Assigning an empty buffer releases what the target held.
    target = SecureBuffer();
    QVERIFY(target.empty());
    QCOMPARE(target.data(), nullptr);
    QCOMPARE(target.registrySlot(), -1);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);
}

void TestSecureBuffer::selfMoveAssignmentChangesNothing() {
    SecureBuffer buffer(32);
    fill(buffer, 0x77);
    const std::uint8_t* address = buffer.data();
    const int slot = buffer.registrySlot();

    SecureBuffer& alias = buffer;
    buffer = std::move(alias);

    QCOMPARE(buffer.data(), address);
    QCOMPARE(buffer.size(), std::size_t(32));
    QCOMPARE(buffer.registrySlot(), slot);
    QVERIFY(allBytesAre(buffer, 0x77));
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);
}

void TestSecureBuffer::copiesAreIndependent() {
    const QByteArray secret("key material that must survive a copy");
    SecureBuffer original = SecureBuffer::copyOf(secret.constData(), std::size_t(secret.size()));
    SecureBuffer copy = original.clone();

    QVERIFY(copy.data() != original.data());
    QVERIFY(copy.registrySlot() >= 0);
    QVERIFY(copy.registrySlot() != original.registrySlot());
    QCOMPARE(SecureBufferRegistry::registeredCount(), 2);
    QVERIFY(copy.equals(original));

    copy.data()[copy.size() - 1] ^= 0x01;
    QVERIFY(!copy.equals(original));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(original.data()), qsizetype(original.size())),
             secret);

    const SecureBuffer shorter = SecureBuffer::copyOf(secret.constData(), 5);
    QVERIFY(!shorter.equals(original));
    QVERIFY(SecureBuffer().equals(SecureBuffer().clone()));
}

void TestSecureBuffer::wipeAllZeroesEveryRegisteredBuffer() {
    std::vector<SecureBuffer> buffers;
    for (std::size_t size : {1, 32, 4096, 70000}) {
        buffers.emplace_back(size);
        fill(buffers.back(), 0xA5);
    }

    wipeAllSecureBuffers();

    for (const SecureBuffer& buffer : buffers) {
        QVERIFY(allBytesAre(buffer, 0));
        QVERIFY(buffer.registrySlot() >= 0);
    }
    QCOMPARE(SecureBufferRegistry::registeredCount(), 4);
}

void TestSecureBuffer::releasedSlotIsNoLongerWiped() {
    std::array<std::uint8_t, 24> released{};
    std::array<std::uint8_t, 24> kept{};
    released.fill(0x3C);
    kept.fill(0x3C);
    const int releasedSlot = SecureBufferRegistry::claim(released.data(), released.size());
    const int keptSlot = SecureBufferRegistry::claim(kept.data(), kept.size());
    QVERIFY(releasedSlot >= 0);
    QVERIFY(keptSlot >= 0 && keptSlot != releasedSlot);

    SecureBufferRegistry::release(releasedSlot);
    // Slot numbers outside the registry (an unregistered buffer carries -1) are ignored.
    for (int outside : {-1, SecureBufferRegistry::kCapacity, 1000, INT_MIN})
        SecureBufferRegistry::release(outside);
    QCOMPARE(SecureBufferRegistry::registeredCount(), 1);

    wipeAllSecureBuffers();
    QVERIFY(allBytesAre(released.data(), released.size(), 0x3C));
    QVERIFY(allBytesAre(kept.data(), kept.size(), 0));

    SecureBufferRegistry::release(keptSlot);
}

void TestSecureBuffer::registryFullLeavesNewBuffersUsableButUnregistered() {
    constexpr int kCapacity = SecureBufferRegistry::kCapacity;
    QCOMPARE(kCapacity, 128);
    std::vector<SecureBuffer> live;
    live.reserve(kCapacity);
    std::set<int> claimedSlots;
    for (int i = 0; i < kCapacity; ++i) {
        live.emplace_back(16);
        fill(live.back(), 0x11);
        claimedSlots.insert(live.back().registrySlot());
    }
    QCOMPARE(int(claimedSlots.size()), kCapacity);
    QCOMPARE(*claimedSlots.begin(), 0);
    QCOMPARE(*claimedSlots.rbegin(), kCapacity - 1);
    QCOMPARE(SecureBufferRegistry::registeredCount(), kCapacity);

    auto extra = std::make_unique<SecureBuffer>(16);
    QCOMPARE(extra->registrySlot(), -1);
    QVERIFY(extra->data() != nullptr);
    QCOMPARE(extra->size(), std::size_t(16));
    fill(*extra, 0xEE);
    std::uint8_t outsider = 0x42;
    QCOMPARE(SecureBufferRegistry::claim(&outsider, 1), -1);

    wipeAllSecureBuffers();
    for (const SecureBuffer& buffer : live)
        QVERIFY(allBytesAre(buffer, 0));
    QVERIFY(allBytesAre(*extra, 0xEE));
    QCOMPARE(outsider, std::uint8_t(0x42));

    // Destroying the unregistered buffer leaves every registered slot alone.
    extra.reset();
    QCOMPARE(SecureBufferRegistry::registeredCount(), kCapacity);

    // Freeing one slot makes room for exactly one more registration.
    const int freedSlot = live[37].registrySlot();
    live[37] = SecureBuffer();
    QCOMPARE(SecureBufferRegistry::registeredCount(), kCapacity - 1);
    SecureBuffer late(8);
    QCOMPARE(late.registrySlot(), freedSlot);
    QCOMPARE(SecureBuffer(8).registrySlot(), -1);
}

void TestSecureBuffer::concurrentConstructionNeverSharesASlot() {
    constexpr int kThreads = 8;
    constexpr int kChurnRounds = 300;
    constexpr int kHeldPerThread = 20; // 160 held at once: more than the registry has slots
    static_assert(kThreads * kHeldPerThread > SecureBufferRegistry::kCapacity);

    std::array<std::atomic<int>, SecureBufferRegistry::kCapacity> owner{};
    std::atomic<int> faults{0};
    std::atomic<int> registeredAtPeak{0};
    std::latch churnDone(kThreads);
    std::latch allHolding(kThreads);
    std::latch allChecked(kThreads);

    // Marks the slot as this thread's; a second live claimant of the same slot is a fault.
    auto takeSlot = [&](const SecureBuffer& buffer, int id) {
        const int slot = buffer.registrySlot();
        int expected = 0;
        if (slot >= 0 && !owner[std::size_t(slot)].compare_exchange_strong(expected, id))
            faults.fetch_add(1);
    };
    auto giveSlot = [&](const SecureBuffer& buffer) {
        if (buffer.registrySlot() >= 0)
            owner[std::size_t(buffer.registrySlot())].store(0);
    };

    auto worker = [&](int id) {
        const auto pattern = static_cast<std::uint8_t>(id);
        for (int round = 0; round < kChurnRounds; ++round) {
            SecureBuffer buffer(std::size_t(1 + (round * 7 + id * 3) % 200));
            if (buffer.registrySlot() < 0) // at most kThreads buffers are alive here
                faults.fetch_add(1);
            takeSlot(buffer, id);
            fill(buffer, pattern);
            if (!allBytesAre(buffer, pattern))
                faults.fetch_add(1);
            giveSlot(buffer);
        }
        churnDone.arrive_and_wait();

        std::vector<SecureBuffer> held;
        for (int i = 0; i < kHeldPerThread; ++i) {
            held.emplace_back(std::size_t(32 + i));
            takeSlot(held.back(), id);
            fill(held.back(), pattern);
            if (held.back().registrySlot() >= 0)
                registeredAtPeak.fetch_add(1);
        }
        allHolding.arrive_and_wait();
        if (SecureBufferRegistry::registeredCount() != SecureBufferRegistry::kCapacity)
            faults.fetch_add(1);
        for (const SecureBuffer& buffer : held)
            if (!allBytesAre(buffer, pattern))
                faults.fetch_add(1);
        allChecked.arrive_and_wait();
        for (const SecureBuffer& buffer : held)
            giveSlot(buffer);
    };

    {
        std::vector<std::jthread> threads;
        for (int id = 1; id <= kThreads; ++id)
            threads.emplace_back(worker, id);
    }

    QCOMPARE(faults.load(), 0);
    QCOMPARE(registeredAtPeak.load(), SecureBufferRegistry::kCapacity);
}

QTEST_APPLESS_MAIN(TestSecureBuffer)
#include "tst_securebuffer.moc"
