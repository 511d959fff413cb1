#include "FuzzArchive.h"
#include "doctext/OfficeText.h"

#include <cstddef>
#include <cstdint>

// Input: a whole document, or (not starting with "PK") the XML of word/document.xml.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    if (korvex::fuzz::looksLikeArchive(input)) {
        (void)korvex::doctext::extractWordText(input);
    } else {
        const QByteArray packed =
            korvex::fuzz::packStored({{"word/document.xml", input.toByteArray()}});
        (void)korvex::doctext::extractWordText(packed);
    }
    return 0;
}
