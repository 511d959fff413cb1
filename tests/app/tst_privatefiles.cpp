// Every file and folder the program creates is its user's alone (0600 files, 0700 folders),
// whatever the umask, and start-up tightens a data folder that an older version left wider.

#include "app/DataFolder.h"
#include "app/LogFile.h"
#include "crypto/AeadCipher.h"
#include "platform/SealedKeyStore.h"
#include "protect/AtomicFile.h"
#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"
#include "support/PlatformDoubles.h"
#include "support/TestSupport.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>
#include <sys/stat.h>

using namespace korvex;

using korvex::test::modeOf;
using korvex::test::setMode;

namespace {

// Permission bits of path (a final link not followed); -1 when it cannot be examined.
// One path the program created: the mode it must have and the mode it had when looked at.
struct Observed {
    QString path;
    int expected = 0;
    int actual = -1;
};
using Observations = QList<Observed>;

Observed look(const QString& path, int expected) {
    return Observed{path, expected, modeOf(path)};
}

// Creates something under root and looks at what must be private (while it still exists: a
// lock only lives while its vault is open). Empty when the creation itself failed.
using Creator = std::function<Observations(const QString& root)>;

} // namespace

Q_DECLARE_METATYPE(Creator)

class PrivateFilesTest : public QObject {
    Q_OBJECT

    platform::NoSealedKeyStore noTpm_;
    test::FakeUserDataProtection user_;

private Q_SLOTS:
    void initTestCase() { protect::setLocalProtectionServices(&noTpm_, &user_); }
    void cleanupTestCase() { protect::setLocalProtectionServices(nullptr, nullptr); }

    void createdPrivateWhateverTheUmask_data() {
        QTest::addColumn<Creator>("create");
        QTest::addColumn<int>("umask");

        const QList<QPair<const char*, Creator>> creators{
            {"atomic write into new folders",
             [](const QString& root) {
                 const QString path = root + QStringLiteral("/a/b/file.dat");
                 if (!protect::writeFileAtomically(path, "x"))
                     return Observations{};
                 return Observations{look(root + QStringLiteral("/a"), 0700),
                                     look(root + QStringLiteral("/a/b"), 0700), look(path, 0600)};
             }},
            {"atomic replace of a wider file",
             [](const QString& root) {
                 const QString path = root + QStringLiteral("/wide.dat");
                 if (!test::writeFile(path, "old") || !setMode(path, 0644) ||
                     !protect::writeFileAtomically(path, "new"))
                     return Observations{};
                 return Observations{look(path, 0600)};
             }},
            {"protected file with its key files",
             [](const QString& root) {
                 const QString path = root + QStringLiteral("/data/identity.dat");
                 if (!protect::writeProtectedFile(path, QJsonObject{{QStringLiteral("a"), 1}},
                                                  protect::EnvelopeKind::Authenticated))
                     return Observations{};
                 return Observations{look(root + QStringLiteral("/data"), 0700), look(path, 0600),
                                     look(path + QStringLiteral(".key"), 0600),
                                     look(path + QStringLiteral(".key.entropy"), 0600)};
             }},
            {"vault and its lock",
             [](const QString& root) {
                 const QString path = root + QStringLiteral("/vault.kvxs");
                 auto vault = vault::VaultContainer::create(
                     std::make_unique<vault::FileBlockStore>(path),
                     crypto::AeadCipher::generateKey(), QStringLiteral("machine"));
                 if (!vault)
                     return Observations{};
                 return Observations{look(path, 0600), look(path + QStringLiteral(".lock"), 0600)};
             }},
            {"existing vault in a folder of the user's",
             [](const QString& root) {
                 const QString path = root + QStringLiteral("/mine/vault.kvxs");
                 const crypto::SecureBuffer key = crypto::AeadCipher::generateKey();
                 if (!QDir().mkpath(root + QStringLiteral("/mine")))
                     return Observations{};
                 // Created and closed again before the widening.
                 if (!vault::VaultContainer::create(std::make_unique<vault::FileBlockStore>(path),
                                                    key, QStringLiteral("machine")))
                     return Observations{};
                 if (!setMode(path, 0644) ||
                     !vault::VaultContainer::open(std::make_unique<vault::FileBlockStore>(path),
                                                  key, QStringLiteral("machine")))
                     return Observations{};
                 return Observations{look(path, 0600)};
             }},
            {"exported file",
             [](const QString& root) {
                 const QString source = root + QStringLiteral("/in.txt");
                 const QString target = root + QStringLiteral("/out.txt");
                 auto vault = vault::VaultContainer::create(
                     std::make_unique<vault::FileBlockStore>(root + QStringLiteral("/v.kvxs")),
                     crypto::AeadCipher::generateKey(), QStringLiteral("machine"));
                 if (!vault || !test::writeFile(source, "plaintext") ||
                     !vault->importFile(source, QStringLiteral("in.txt")) ||
                     !vault->exportFile(QStringLiteral("in.txt"), target))
                     return Observations{};
                 return Observations{look(target, 0600)};
             }},
            {"log folder and file",
             [](const QString& root) {
                 const QString folder = root + QStringLiteral("/Zelvora/Zelvora");
                 std::unique_ptr<QFile> log(app::openLogFile(folder));
                 if (!log)
                     return Observations{};
                 return Observations{look(root + QStringLiteral("/Zelvora"), 0700),
                                     look(folder, 0700),
                                     look(folder + QStringLiteral("/zelvora.log"), 0600)};
             }},
            {"machine identifier file",
             [](const QString& root) {
                 const QString folder = root + QStringLiteral("/data");
                 if (app::machineIdentifierFrom(QByteArray(), folder).isEmpty())
                     return Observations{};
                 return Observations{look(folder, 0700),
                                     look(folder + QStringLiteral("/machine_id.txt"), 0600)};
             }},
            {"data folder left wide by an older version",
             [](const QString& root) {
                 const QString folder = root + QStringLiteral("/Zelvora");
                 const QString log = folder + QStringLiteral("/Zelvora");
                 if (!QDir().mkpath(log) || !setMode(folder, 0755) || !setMode(log, 0755) ||
                     !test::writeFile(folder + QStringLiteral("/identity.dat"), "x") ||
                     !setMode(folder + QStringLiteral("/identity.dat"), 0644) ||
                     !test::writeFile(log + QStringLiteral("/zelvora.log"), "x") ||
                     !setMode(log + QStringLiteral("/zelvora.log"), 0644))
                     return Observations{};
                 app::makeDataFolderPrivate(folder);
                 return Observations{
                     look(folder, 0700), look(folder + QStringLiteral("/identity.dat"), 0600),
                     look(log, 0700), look(log + QStringLiteral("/zelvora.log"), 0600)};
             }},
        };
        for (const int mask : {022, 077}) {
            for (const auto& [name, creator] : creators)
                QTest::addRow("%s, umask %03o", name, mask) << creator << mask;
        }
    }
    void createdPrivateWhateverTheUmask() {
        QFETCH(Creator, create);
        QFETCH(int, umask);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const mode_t previous = ::umask(mode_t(umask));
        const Observations observed = create(root.path());
        ::umask(previous);
        QVERIFY2(!observed.isEmpty(), "the creation itself failed");
        for (const Observed& entry : observed)
            QVERIFY2(entry.actual == entry.expected,
                     qPrintable(QStringLiteral("%1 is %2, not %3")
                                    .arg(entry.path)
                                    .arg(entry.actual, 4, 8, QLatin1Char('0'))
                                    .arg(entry.expected, 4, 8, QLatin1Char('0'))));
    }
};

QTEST_GUILESS_MAIN(PrivateFilesTest)
#include "tst_privatefiles.moc"
