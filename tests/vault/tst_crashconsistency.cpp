// What the journal promises: whatever I/O of an operation fails or is cut off by a power loss,
// the vault reopens to exactly the state before the operation or exactly the state after it.
// Every mutating I/O of create, importFile, removeFile and rekey is tried as the fault point.

#include "crypto/AeadCipher.h"
#include "crypto/SecureBuffer.h"
#include "support/FaultInjectingStore.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"
#include "vault/VaultFormat.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace korvex;
using crypto::SecureBuffer;
using test::FaultInjectingStore;
using test::FaultPlan;
using test::IoKind;
using test::Landing;
using vault::FileBlockStore;
using vault::RekeyResult;
using vault::VaultContainer;

namespace {

const QString kMachine = QStringLiteral("crash-consistency-machine");

struct StoredFile {
    QString name;
    QByteArray content;
};

// A committed state that a reopened vault may show.
struct VaultState {
    QString label;
    bool isVault = true; // false: no vault at all, the state before create
    QList<StoredFile> files;
    const SecureBuffer* key = nullptr;
};

QByteArray patterned(int size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

bool writeWholeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Empty when the container lists exactly these files (names, sizes, order) and reads every one
// back byte for byte; otherwise what differs.
QString differences(VaultContainer& vault, const QList<StoredFile>& files) {
    QStringList listed;
    for (const vault::EntrySummary& entry : vault.listEntries())
        listed << QStringLiteral("%1 (%2)").arg(entry.name).arg(entry.size);
    QStringList wanted;
    for (const StoredFile& file : files)
        wanted << QStringLiteral("%1 (%2)").arg(file.name).arg(file.content.size());
    if (listed != wanted)
        return QStringLiteral("lists [%1] instead of [%2]")
            .arg(listed.join(", "), wanted.join(", "));
    for (const StoredFile& file : files) {
        const std::optional<crypto::PlaintextBuffer> content = vault.readFile(file.name);
        if (!content)
            return QStringLiteral("cannot read %1").arg(file.name);
        if (QByteArray(reinterpret_cast<const char*>(content->data()),
                       static_cast<qsizetype>(content->size())) != file.content)
            return QStringLiteral("reads back other bytes for %1").arg(file.name);
    }
    return QString();
}

// Opens the container file at path as a new session would and says which of the states it
// shows. The keys are tried from the last state to the first, so after a re-key the new key
// comes first. Returns the state's label, or an empty text with the reason in *why.
QString reopenedState(const QString& path, const QList<VaultState>& states, QString* why) {
    for (const VaultState& state : states) {
        // Whatever a cut-short create leaves must be recognisable as such, so that the next
        // start can clear it and create the vault afresh.
        if (!state.isVault && (!QFile::exists(path) || VaultContainer::isInterruptedCreate(path)))
            return state.label;
    }
    QList<const SecureBuffer*> keys;
    for (auto it = states.crbegin(); it != states.crend(); ++it) {
        if (it->isVault && !keys.contains(it->key))
            keys.append(it->key);
    }
    for (const SecureBuffer* key : keys) {
        std::unique_ptr<VaultContainer> vault =
            VaultContainer::open(std::make_unique<FileBlockStore>(path), *key, kMachine);
        if (!vault)
            continue;
        QStringList mismatches;
        for (const VaultState& state : states) {
            if (!state.isVault || state.key != key)
                continue;
            const QString diff = differences(*vault, state.files);
            if (diff.isEmpty())
                return state.label;
            mismatches << QStringLiteral("not '%1': %2").arg(state.label, diff);
        }
        *why = QStringLiteral("opens but shows neither state (%1)").arg(mismatches.join("; "));
        return QString();
    }
    *why = QStringLiteral("does not open");
    return QString();
}

bool bothSlotsHoldAHeader(const QString& path) {
    const std::optional<vault::FileHeaders> headers = vault::readHeaderSlotsFromFile(path);
    return headers && headers->headerSlots[0].isCurrentFormat() &&
           headers->headerSlots[1].isCurrentFormat();
}

// Which of n unflushed I/Os made it to the medium, as a string of '1' (kept) and '0': none,
// all, every in-order prefix, and every "all but one" (a reordering device).
QStringList keptSubsets(int n) {
    QStringList subsets{QString(n, QChar('0')), QString(n, QChar('1'))};
    for (int i = 1; i < n; ++i)
        subsets << QString(i, QChar('1')) + QString(n - i, QChar('0'));
    for (int i = 0; i < n; ++i) {
        QString allButOne(n, QChar('1'));
        allButOne[i] = QChar('0');
        subsets << allButOne;
    }
    subsets.removeDuplicates();
    return subsets;
}

} // namespace

class CrashConsistencyTest : public QObject {
    Q_OBJECT

public:
    enum class Operation { Create, Import, Remove, Rekey };
    Q_ENUM(Operation)
    enum class Fault { FailIo, FailIoTorn, PowerLoss };
    Q_ENUM(Fault)

private slots:
    void initTestCase();
    void everyFaultPoint_data();
    void everyFaultPoint();

private:
    struct Run {
        std::unique_ptr<VaultContainer> vault; // none after a failed create
        bool succeeded = false;
        RekeyResult rekeyResult = RekeyResult::Unchanged;
        quint64 generationBefore = 0;
    };

    static QString nameOf(Operation operation);
    // The state before and the state after the operation.
    QList<VaultState> statesOf(Operation operation) const;
    bool perform(Operation operation, VaultContainer& vault, RekeyResult* rekeyResult);
    // Runs the operation on a fresh copy of the starting vault through a fault-injecting store;
    // arm is applied right before the operation.
    void runOperation(Operation operation, const std::shared_ptr<FaultPlan>& plan,
                      const std::function<void(FaultPlan&)>& arm, Run& run);
    void expectReopened(const QString& path, Operation operation, const QStringList& allowed,
                        const QString& context);
    void checkPowerLossAt(Operation operation, int k, int crashPoints, int& images);
    void checkFailureAt(Operation operation, int k, int crashPoints, Landing landing);

    QTemporaryDir dir_;
    SecureBuffer oldKey_;
    SecureBuffer newKey_;
    QList<StoredFile> startFiles_;
    StoredFile imported_;
    QString removedName_;
    QString startPath_;
    QString sourcePath_;
    QString casePath_;
    QString snapshotPath_;
};

void CrashConsistencyTest::initTestCase() {
    QVERIFY(dir_.isValid());
    oldKey_ = crypto::AeadCipher::generateKey();
    newKey_ = crypto::AeadCipher::generateKey();
    startPath_ = dir_.filePath(QStringLiteral("start.kvxs"));
    sourcePath_ = dir_.filePath(QStringLiteral("import-source"));
    casePath_ = dir_.filePath(QStringLiteral("case.kvxs"));
    snapshotPath_ = dir_.filePath(QStringLiteral("snapshot.kvxs"));

    // The starting vault, built once and copied for every case: small files, one of them empty.
    startFiles_ = {{QStringLiteral("alpha.txt"), patterned(300, 1)},
                   {QStringLiteral("empty.bin"), QByteArray()},
                   {QStringLiteral("gamma.pdf"), patterned(500, 2)}};
    imported_ = {QStringLiteral("delta.doc"), patterned(200, 3)};
    removedName_ = QStringLiteral("alpha.txt"); // the first entry: the others keep their order
    QVERIFY(writeWholeFile(sourcePath_, imported_.content));

    std::unique_ptr<VaultContainer> vault =
        VaultContainer::create(std::make_unique<FileBlockStore>(startPath_), oldKey_, kMachine);
    QVERIFY(vault);
    for (const StoredFile& file : std::as_const(startFiles_)) {
        const QString source = dir_.filePath(QStringLiteral("source-") + file.name);
        QVERIFY(writeWholeFile(source, file.content));
        QVERIFY(vault->importFile(source, file.name));
    }
    QCOMPARE(differences(*vault, startFiles_), QString());
}

QString CrashConsistencyTest::nameOf(Operation operation) {
    switch (operation) {
    case Operation::Create:
        return QStringLiteral("create");
    case Operation::Import:
        return QStringLiteral("importFile");
    case Operation::Remove:
        return QStringLiteral("removeFile");
    case Operation::Rekey:
        return QStringLiteral("rekey");
    }
    return QString();
}

QList<VaultState> CrashConsistencyTest::statesOf(Operation operation) const {
    const QString before = QStringLiteral("before ") + nameOf(operation);
    const QString after = QStringLiteral("after ") + nameOf(operation);
    switch (operation) {
    case Operation::Create:
        return {{QStringLiteral("no vault"), false, {}, nullptr},
                {QStringLiteral("empty vault"), true, {}, &oldKey_}};
    case Operation::Import:
        return {{before, true, startFiles_, &oldKey_},
                {after, true, startFiles_ + QList<StoredFile>{imported_}, &oldKey_}};
    case Operation::Remove: {
        QList<StoredFile> remaining = startFiles_;
        remaining.removeIf([this](const StoredFile& file) { return file.name == removedName_; });
        return {{before, true, startFiles_, &oldKey_}, {after, true, remaining, &oldKey_}};
    }
    case Operation::Rekey:
        return {{QStringLiteral("old key"), true, startFiles_, &oldKey_},
                {QStringLiteral("new key"), true, startFiles_, &newKey_}};
    }
    return {};
}

bool CrashConsistencyTest::perform(Operation operation, VaultContainer& vault,
                                   RekeyResult* rekeyResult) {
    switch (operation) {
    case Operation::Create:
        break;
    case Operation::Import:
        return vault.importFile(sourcePath_, imported_.name);
    case Operation::Remove:
        return vault.removeFile(removedName_);
    case Operation::Rekey:
        *rekeyResult = vault.rekey(newKey_);
        return *rekeyResult == RekeyResult::Rekeyed;
    }
    return false;
}

void CrashConsistencyTest::runOperation(Operation operation, const std::shared_ptr<FaultPlan>& plan,
                                        const std::function<void(FaultPlan&)>& arm, Run& run) {
    QFile::remove(casePath_);
    if (operation == Operation::Create) {
        auto store = std::make_unique<FaultInjectingStore>(casePath_, plan);
        arm(*plan);
        run.vault = VaultContainer::create(std::move(store), oldKey_, kMachine);
        run.succeeded = run.vault != nullptr;
        return;
    }
    QVERIFY(QFile::copy(startPath_, casePath_));
    run.vault = VaultContainer::open(std::make_unique<FaultInjectingStore>(casePath_, plan),
                                     oldKey_, kMachine);
    QVERIFY(run.vault);
    run.generationBefore = run.vault->generationCounter();
    arm(*plan);
    run.succeeded = perform(operation, *run.vault, &run.rekeyResult);
}

void CrashConsistencyTest::expectReopened(const QString& path, Operation operation,
                                          const QStringList& allowed, const QString& context) {
    // Until start-up has settled whether a re-key happened, a sign-in may still offer the old
    // key. Where both slots still hold a header, the newest may be under the new key and the
    // other under the old one: opening with the old key must then write nothing, as going back
    // to the old key's state and writing it over the newest would lose the vault.
    if (operation == Operation::Rekey && bothSlotsHoldAHeader(path)) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        VaultContainer::open(std::make_unique<FileBlockStore>(path), oldKey_, kMachine).reset();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(file.readAll() == before,
                 qPrintable(context + QStringLiteral(": opening with the old key changed the "
                                                     "vault")));
    }
    QString why;
    const QString shown = reopenedState(path, statesOf(operation), &why);
    QVERIFY2(allowed.contains(shown),
             qPrintable(QStringLiteral("%1: the reopened vault %2, expected %3")
                            .arg(context,
                                 shown.isEmpty() ? why : QStringLiteral("shows '%1'").arg(shown),
                                 allowed.join(QStringLiteral(" or ")))));
}

void CrashConsistencyTest::checkPowerLossAt(Operation operation, int k, int crashPoints,
                                            int& images) {
    auto plan = std::make_shared<FaultPlan>();
    Run run;
    runOperation(
        operation, plan, [k](FaultPlan& p) { p.armPowerLoss(k); }, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(plan->fired());
    run.vault.reset(); // the process is gone and has let go of the file

    const QString point = QStringLiteral("%1, power lost at I/O %2 of %3 (%4)")
                              .arg(nameOf(operation))
                              .arg(k)
                              .arg(crashPoints)
                              .arg(plan->inFlight().describe());
    const QList<VaultState> states = statesOf(operation);
    const QStringList either{states[0].label, states[1].label};
    for (const QString& kept : keptSubsets(plan->unflushedCount())) {
        QList<bool> keep;
        for (QChar c : kept)
            keep << (c == QChar('1'));
        for (Landing landing : plan->inFlightLandings()) {
            QVERIFY(plan->writePostCrashImage(casePath_, keep, landing));
            expectReopened(casePath_, operation, either,
                           QStringLiteral("%1; unflushed I/Os kept: '%2'; in-flight I/O landed: %3")
                               .arg(point, kept, test::landingName(landing)));
            if (QTest::currentTestFailed())
                return;
            ++images;
        }
    }
}

void CrashConsistencyTest::checkFailureAt(Operation operation, int k, int crashPoints,
                                          Landing landing) {
    auto plan = std::make_shared<FaultPlan>();
    Run run;
    runOperation(
        operation, plan, [k, landing](FaultPlan& p) { p.armFailure(k, landing); }, run);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(plan->fired());

    const QString point = QStringLiteral("%1, I/O %2 of %3 (%4) fails, %5 of it written")
                              .arg(nameOf(operation))
                              .arg(k)
                              .arg(crashPoints)
                              .arg(plan->ioLog().at(k - 1).describe(), test::landingName(landing));
    const QList<VaultState> states = statesOf(operation);
    const VaultState& before = states[0];
    const VaultState& after = states[1];

    if (run.succeeded) {
        // Only a best-effort I/O (overwriting a removed record or a stale slot) may fail
        // without failing the operation; the operation is then complete and durable.
        if (run.vault) {
            QVERIFY2(differences(*run.vault, after.files).isEmpty(), qPrintable(point));
            QVERIFY2(run.vault->generationCounter() == run.generationBefore + 1, qPrintable(point));
        }
        run.vault.reset();
        expectReopened(casePath_, operation, {after.label}, point);
        return;
    }

    if (operation == Operation::Create) {
        QVERIFY2(!QFile::exists(casePath_) || VaultContainer::isInterruptedCreate(casePath_),
                 qPrintable(point + QStringLiteral(": a usable header was left behind")));
        // The failed creation was rolled back, so trying again at the same place works.
        std::unique_ptr<VaultContainer> retried =
            VaultContainer::create(std::make_unique<FileBlockStore>(casePath_), oldKey_, kMachine);
        QVERIFY2(retried, qPrintable(point + QStringLiteral(": creating again fails")));
        retried.reset();
        expectReopened(casePath_, operation, {after.label}, point + QStringLiteral(", retried"));
        return;
    }

    if (operation == Operation::Rekey && run.rekeyResult == RekeyResult::Unusable) {
        QVERIFY2(run.vault->isWiped() && run.vault->listEntries().isEmpty(), qPrintable(point));
        run.vault.reset();
        expectReopened(casePath_, operation, {before.label, after.label}, point);
        return;
    }

    // The container is exactly as before the call (for rekey: it still works under the old key).
    const QString diff = differences(*run.vault, before.files);
    QVERIFY2(diff.isEmpty(),
             qPrintable(point + QStringLiteral(": in memory the container ") + diff));
    // An unchanged re-key has committed the old key's index again, which takes a generation.
    const quint64 generationAfterFailure =
        run.generationBefore + (operation == Operation::Rekey ? 1 : 0);
    QVERIFY2(run.vault->generationCounter() == generationAfterFailure,
             qPrintable(point + QStringLiteral(": the generation is %1, expected %2")
                                    .arg(run.vault->generationCounter())
                                    .arg(generationAfterFailure)));

    // What is on the file now is one of the two states; an unchanged re-key has put the old
    // key's index back.
    QFile::remove(snapshotPath_);
    QVERIFY(QFile::copy(casePath_, snapshotPath_));
    const QStringList allowed = operation == Operation::Rekey
                                    ? QStringList{before.label}
                                    : QStringList{before.label, after.label};
    expectReopened(snapshotPath_, operation, allowed, point);

    // The container carries on: the same call now succeeds, and a new session sees its result.
    RekeyResult retriedRekey = RekeyResult::Unchanged;
    QVERIFY2(perform(operation, *run.vault, &retriedRekey),
             qPrintable(point + QStringLiteral(": the call fails again when retried")));
    QVERIFY2(differences(*run.vault, after.files).isEmpty(), qPrintable(point + ", retried"));
    QVERIFY2(run.vault->generationCounter() == generationAfterFailure + 1,
             qPrintable(point + ", retried"));
    run.vault.reset();
    expectReopened(casePath_, operation, {after.label}, point + QStringLiteral(", retried"));
}

void CrashConsistencyTest::everyFaultPoint_data() {
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<Fault>("fault");
    for (Operation operation :
         {Operation::Create, Operation::Import, Operation::Remove, Operation::Rekey}) {
        const QByteArray name = nameOf(operation).toUtf8();
        QTest::newRow(name + ", failed I/O") << operation << Fault::FailIo;
        QTest::newRow(name + ", failed torn write") << operation << Fault::FailIoTorn;
        QTest::newRow(name + ", power loss") << operation << Fault::PowerLoss;
    }
}

void CrashConsistencyTest::everyFaultPoint() {
    QFETCH(Operation, operation);
    QFETCH(Fault, fault);

    // A dry run counts the mutating I/Os, each one a point where the fault can strike.
    auto plan = std::make_shared<FaultPlan>();
    Run dry;
    runOperation(
        operation, plan, [](FaultPlan& p) { p.countOnly(); }, dry);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(dry.succeeded);
    const int crashPoints = plan->mutatingIoCount();
    const QList<test::MutatingIo> ios = plan->ioLog();
    QVERIFY(crashPoints > 0);
    dry.vault.reset();
    expectReopened(casePath_, operation, {statesOf(operation)[1].label},
                   nameOf(operation) + QStringLiteral(" without a fault"));
    qInfo("%s: %d crash points", qPrintable(nameOf(operation)), crashPoints);

    int images = 0;
    for (int k = 1; k <= crashPoints; ++k) {
        switch (fault) {
        case Fault::FailIo:
            checkFailureAt(operation, k, crashPoints, Landing::Nothing);
            break;
        case Fault::FailIoTorn:
            if (ios.at(k - 1).kind != IoKind::Write)
                break;
            for (Landing landing : {Landing::FirstByte, Landing::Half, Landing::AllButLastByte,
                                    Landing::Everything}) {
                checkFailureAt(operation, k, crashPoints, landing);
                if (QTest::currentTestFailed())
                    return;
            }
            break;
        case Fault::PowerLoss:
            checkPowerLossAt(operation, k, crashPoints, images);
            break;
        }
        if (QTest::currentTestFailed())
            return;
    }
    if (fault == Fault::PowerLoss)
        qInfo("%s: %d post-crash images reopened", qPrintable(nameOf(operation)), images);
}

QTEST_GUILESS_MAIN(CrashConsistencyTest)
#include "tst_crashconsistency.moc"
