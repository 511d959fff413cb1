#include "InspectReport.h"

#include "platform/RegularFile.h"
#include "vault/VaultFormat.h"

#include <QFileInfo>
#include <QTextStream>
#include <unistd.h>

namespace korvex::tools {

using namespace korvex::vault;
using korvex::platform::openRegularFile;
using korvex::platform::RegularFileError;

namespace {

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
    const QFileInfo info(path);
    if (info.isSymLink())
        return QStringLiteral("is a symbolic link, not a container file");
    if (info.isDir())
        return QStringLiteral("is a folder, not a container file");
    RegularFileError error = RegularFileError::None;
    const int fd = openRegularFile(path, false, &error);
    if (fd >= 0)
        ::close(fd);
    // The wording of the system's own reason, as the tool has always given it.
    switch (error) {
    case RegularFileError::Missing:
        return QStringLiteral("cannot open: No such file or directory");
    case RegularFileError::NotRegular:
        return QStringLiteral("is not a regular file (a device, FIFO or socket)");
    case RegularFileError::Denied:
        return QStringLiteral("cannot open: Permission denied");
    case RegularFileError::Failed:
        return QStringLiteral("cannot open");
    case RegularFileError::None:
        break;
    }
    return QStringLiteral("cannot be read");
}

} // namespace

InspectReport inspectContainerFile(const QString& path) {
    InspectReport report;
    QTextStream out(&report.output);
    QTextStream err(&report.errors);
    const QString shownPath = printable(path);

    // Only a regular file is read: a folder, FIFO, device or link is refused before anything
    // could block on it.
    const std::optional<FileHeaders> headers = readHeaderSlotsFromFile(path);
    if (!headers) {
        err << "zelvora-inspect: " << shownPath << ": " << whyUnreadable(path) << '\n';
        report.exitStatus = kExitCannotRead;
        return report;
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
        err << "zelvora-inspect: " << shownPath << ": no usable header: " << reason << '\n';
        report.exitStatus = kExitNoUsableHeader;
        return report;
    }
    out << "winner: slot " << choice->slot;
    if (choice->legacy)
        out << " (legacy format 4, generation " << choice->header.generation << ")\n";
    else
        out << " (generation " << choice->header.generation << ")\n";
    report.exitStatus = kExitUsable;
    return report;
}

} // namespace korvex::tools
