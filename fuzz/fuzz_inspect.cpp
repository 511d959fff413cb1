#include "FuzzSupport.h"
#include "InspectReport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>

// Input: the bytes of the file zelvora-inspect is pointed at. The report is built as the tool
// builds it; a readable regular file always gets the file line, the size line, one line per
// slot and the winner line, and every line is printable, whatever the file holds.

using namespace korvex;

namespace {

QStringList linesOf(const QString& text) {
    FUZZ_CHECK(text.isEmpty() || text.endsWith(QLatin1Char('\n')));
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

void checkPrintable(const QStringList& lines) {
    for (const QString& line : lines) {
        for (const QChar c : line)
            FUZZ_CHECK(c.isPrint());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QString path = fuzz::scratchFolder() + QStringLiteral("/inspected.kvxs");
    if (!fuzz::writeScratchFile(path,
                                QByteArray(reinterpret_cast<const char*>(data), qsizetype(size))))
        std::abort();

    const tools::InspectReport report = tools::inspectContainerFile(path);
    const QStringList out = linesOf(report.output);
    const QStringList err = linesOf(report.errors);
    checkPrintable(out);
    checkPrintable(err);
    FUZZ_CHECK(out.size() == 5);
    FUZZ_CHECK(out[0] == QStringLiteral("file: ") + path);
    FUZZ_CHECK(out[1] == QStringLiteral("size: %1 bytes").arg(size));
    FUZZ_CHECK(out[2].startsWith(QStringLiteral("slot 0: ")));
    FUZZ_CHECK(out[3].startsWith(QStringLiteral("slot 1: ")));
    if (report.exitStatus == tools::kExitUsable) {
        FUZZ_CHECK(err.isEmpty());
        FUZZ_CHECK(out[4].startsWith(QStringLiteral("winner: slot ")));
    } else {
        FUZZ_CHECK(report.exitStatus == tools::kExitNoUsableHeader);
        FUZZ_CHECK(err.size() == 1);
        FUZZ_CHECK(out[4].startsWith(QStringLiteral("winner: none (")));
    }
    return 0;
}
