#include "FuzzArchive.h"
#include "doctext/OfficeText.h"

#include <cstddef>
#include <cstdint>

// Input: a whole workbook, or (not starting with "PK") XML parts separated by NUL bytes: the
// first is xl/sharedStrings.xml, each further one a worksheet, numbered from 1.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    if (korvex::fuzz::looksLikeArchive(input)) {
        (void)korvex::doctext::extractSpreadsheet(input);
        return 0;
    }
    QList<std::pair<QByteArray, QByteArray>> members;
    const QList<QByteArray> parts = input.toByteArray().split('\0');
    for (qsizetype i = 0; i < parts.size() && i < 64; ++i) {
        const QByteArray name = i == 0 ? QByteArray("xl/sharedStrings.xml")
                                       : "xl/worksheets/sheet" + QByteArray::number(i) + ".xml";
        members.append({name, parts.at(i)});
    }
    (void)korvex::doctext::extractSpreadsheet(korvex::fuzz::packStored(members));
    return 0;
}
