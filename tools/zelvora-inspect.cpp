// zelvora-inspect: prints the two header slots of a vault container file and which one a reader
// would trust. Needs no key, opens the file read-only and never takes the vault's lock.
//
// Exit status: 0 when a usable header exists, 1 when none does, 2 when the file cannot be read
// or the command line is wrong.

#include "vault/VaultFormat.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <cstdio>

using namespace korvex::vault;

namespace {

constexpr int kExitUsable = 0;
constexpr int kExitNoUsableHeader = 1;
constexpr int kExitCannotRead = 2;

// Anything that came from the file or the command line is printed on one line, with control
// characters and other unprintables replaced.
QString printable(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return out;
}

QString slotStatus(const HeaderSlot& slot) {
    if (slot.isCurrentFormat())
        return QStringLiteral("valid");
    if (slot.isLegacyFormat())
        return QStringLiteral("legacy (format 4, no checksum)");
    if (slot.header.formatVersion == kCurrentFormatVersion)
        return QStringLiteral("invalid (checksum mismatch)");
    return QStringLiteral("invalid (unknown format %1)").arg(slot.header.formatVersion);
}

QString describeSlot(int index, const HeaderSlot& slot, qint64 fileSize) {
    const QString prefix = QStringLiteral("slot %1: ").arg(index);
    if (!slot.readable)
        return prefix + QStringLiteral("unreadable (the file ends before byte %1)")
                            .arg((index + 1) * kHeaderSlotBytes);
    if (!slot.hasMagic)
        return prefix + QStringLiteral("invalid (no vault magic)");
    const VaultHeader& h = slot.header;
    return prefix + slotStatus(slot) +
           QStringLiteral(" format=%1 generation=%2 index-offset=%3 index-capacity=%4 "
                          "index-length=%5 vault-id=%6 index-in-file=%7")
               .arg(h.formatVersion)
               .arg(h.generation)
               .arg(h.indexOffset)
               .arg(h.indexCapacity)
               .arg(h.indexLength)
               .arg(printable(h.vaultId()),
                    headerFitsStore(h, fileSize) ? QStringLiteral("yes") : QStringLiteral("no"));
}

QString whyNoHeader(const FileHeaders& headers) {
    if (headers.fileSize < kHeaderSlotBytes)
        return QStringLiteral("the file is %1 bytes, too short for a %2-byte header")
            .arg(headers.fileSize)
            .arg(kHeaderSlotBytes);
    const auto& found = headers.headerSlots;
    if (found[0].isCurrentFormat() || found[1].isCurrentFormat() || found[0].isLegacyFormat())
        return QStringLiteral("the header that would win does not fit the file");
    return QStringLiteral("no slot holds a valid header");
}

QString whyUnreadable(const QString& path) {
    if (QFileInfo(path).isDir())
        return QStringLiteral("is a folder, not a container file");
    // The system's own reason (missing, permission denied, ...).
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open: %1").arg(file.errorString());
    return QStringLiteral("cannot be read");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QStringList args = app.arguments().mid(1);
    const QString usage = QStringLiteral("usage: zelvora-inspect <container-file>");
    if (args.size() == 1 &&
        (args[0] == QStringLiteral("-h") || args[0] == QStringLiteral("--help"))) {
        out << usage << '\n';
        return kExitUsable;
    }
    if (args.size() != 1 || args[0].isEmpty()) {
        err << usage << '\n';
        return kExitCannotRead;
    }
    const QString path = args[0];
    const QString shownPath = printable(path);

    // A folder is refused here rather than left to the platform's idea of reading one.
    const std::optional<FileHeaders> headers =
        QFileInfo(path).isDir() ? std::nullopt : readHeaderSlotsFromFile(path);
    if (!headers) {
        err << "zelvora-inspect: " << shownPath << ": " << whyUnreadable(path) << '\n';
        return kExitCannotRead;
    }

    out << "file: " << shownPath << '\n';
    out << "size: " << headers->fileSize << " bytes\n";
    for (int i = 0; i < kHeaderSlotCount; ++i)
        out << describeSlot(i, headers->headerSlots[i], headers->fileSize) << '\n';

    const std::optional<HeaderChoice> choice =
        chooseHeader(headers->headerSlots, headers->fileSize);
    if (!choice) {
        const QString reason = whyNoHeader(*headers);
        out << "winner: none (" << reason << ")\n";
        out.flush();
        err << "zelvora-inspect: " << shownPath << ": no usable header: " << reason << '\n';
        return kExitNoUsableHeader;
    }
    out << "winner: slot " << choice->slot;
    if (choice->legacy)
        out << " (legacy format 4, generation " << choice->header.generation << ")\n";
    else
        out << " (generation " << choice->header.generation << ")\n";
    return kExitUsable;
}
