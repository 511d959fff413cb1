// Which paths count as the program's own files, however they are reached.

#include "protect/OwnFiles.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using namespace korvex;

class OwnFilesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void ownFilesAreRecognisedByAnyName() {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString data = root.filePath(QStringLiteral("data"));
        const QString vault = root.filePath(QStringLiteral("elsewhere/vault.kvxs"));
        QVERIFY(QDir().mkpath(data + QStringLiteral("/Zelvora")));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("elsewhere"))));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("data-other"))));
        QVERIFY(test::writeFile(data + QStringLiteral("/identity.dat"), "account"));
        QVERIFY(test::writeFile(data + QStringLiteral("/Zelvora/zelvora.log"), "log"));
        QVERIFY(test::writeFile(vault, "vault"));
        QVERIFY(test::writeFile(root.filePath(QStringLiteral("mine.txt")), "mine"));
        QVERIFY(test::writeFile(root.filePath(QStringLiteral("data-other/x")), "x"));
        const auto hardLink = [&](const QString& from, const QString& to) {
            return ::link(QFile::encodeName(from).constData(),
                          QFile::encodeName(root.filePath(to)).constData()) == 0;
        };
        QVERIFY(hardLink(data + QStringLiteral("/identity.dat"), QStringLiteral("copy-of-id")));
        QVERIFY(hardLink(vault, QStringLiteral("copy-of-vault")));
        QVERIFY(QFile::link(data, root.filePath(QStringLiteral("shortcut"))));
        QVERIFY(QFile::link(vault, root.filePath(QStringLiteral("vault-link"))));

        const protect::OwnFiles own({data}, {vault, vault + QStringLiteral(".lock")});
        const QList<std::pair<QString, bool>> cases{
            {data, true},
            {data + QStringLiteral("/identity.dat"), true},
            {data + QStringLiteral("/Zelvora/zelvora.log"), true},
            {data + QStringLiteral("/not-yet-there.txt"), true},
            {data + QStringLiteral("/../data/./identity.dat"), true},
            {root.filePath(QStringLiteral("shortcut/identity.dat")), true},
            {root.filePath(QStringLiteral("copy-of-id")), true},
            {vault, true},
            {vault + QStringLiteral(".lock"), true},
            {root.filePath(QStringLiteral("copy-of-vault")), true},
            {root.filePath(QStringLiteral("vault-link")), true},
            {root.filePath(QStringLiteral("mine.txt")), false},
            {root.filePath(QStringLiteral("new.txt")), false},
            {root.filePath(QStringLiteral("data-other/x")), false},
            {QString(), false},
        };
        for (const auto& [path, expected] : cases)
            QVERIFY2(own.contains(path) == expected, qPrintable(path));
    }
};

QTEST_GUILESS_MAIN(OwnFilesTest)
#include "tst_ownfiles.moc"
