#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QPair>
#include <QString>

namespace korvex::test {

// An image of one colour, encoded in format ("PNG", "JPEG", ...).
inline QByteArray encodedImage(const QColor& colour, QSize size, const char* format) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer device(&bytes);
    device.open(QIODevice::WriteOnly);
    image.save(&device, format);
    return bytes;
}

struct PdfOptions {
    int pages = 1;
    // Pads the file with a comment after the header to exactly this many bytes (0: no padding).
    qint64 totalSize = 0;
    // An /Encrypt dictionary with this /Filter ("Standard" with a password nobody knows, or a
    // handler no reader has); empty for none.
    QByteArray encryptFilter;
};

// A well-formed PDF written by hand: a catalog, one page tree holding every page directly,
// empty pages of 200 x 200 points, a classic cross-reference table.
inline QByteArray handWrittenPdf(const PdfOptions& options, qint64 padding) {
    QByteArray pdf("%PDF-1.4\n");
    if (padding > 0) {
        pdf.append('%');
        pdf.append(QByteArray(padding, 'x'));
        pdf.append('\n');
    }
    QList<qint64> offsets;
    const auto object = [&](const QByteArray& body) {
        offsets.append(pdf.size());
        pdf.append(QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n");
    };
    const int firstPage = 3;
    object("<< /Type /Catalog /Pages 2 0 R >>");
    QByteArray kids;
    kids.reserve(options.pages * 10);
    for (int i = 0; i < options.pages; ++i)
        kids.append(QByteArray::number(firstPage + i) + " 0 R ");
    object("<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(options.pages) +
           " >>");
    for (int i = 0; i < options.pages; ++i)
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>");
    QByteArray encryptRef;
    if (!options.encryptFilter.isEmpty()) {
        const QByteArray hash32(64, 'A'); // 32 bytes in hex
        object("<< /Filter /" + options.encryptFilter + " /V 1 /R 2 /O <" + hash32 + "> /U <" +
               hash32 + "> /P -4 >>");
        encryptRef = " /Encrypt " + QByteArray::number(offsets.size()) +
                     " 0 R /ID [<0123456789ABCDEF0123456789ABCDEF> "
                     "<0123456789ABCDEF0123456789ABCDEF>]";
    }
    const qint64 xref = pdf.size();
    pdf.append("xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n");
    pdf.append("0000000000 65535 f \n");
    for (qint64 offset : offsets)
        pdf.append(QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n");
    pdf.append("trailer\n<< /Size " + QByteArray::number(offsets.size() + 1) + " /Root 1 0 R" +
               encryptRef + " >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n");
    return pdf;
}

inline QByteArray handWrittenPdf(const PdfOptions& options) {
    if (options.totalSize <= 0)
        return handWrittenPdf(options, 0);
    // The padding shifts every offset, which can change the length of the numbers written;
    // a few rounds settle it.
    qint64 padding = 0;
    for (int round = 0; round < 8; ++round) {
        const qint64 size = handWrittenPdf(options, padding).size();
        if (size == options.totalSize)
            break;
        padding += options.totalSize - size;
    }
    return handWrittenPdf(options, padding);
}

// A ZIP archive of stored (uncompressed) members, written by hand: what an Office package
// needs to reach the document-text layer, with nothing compressed to get wrong.
inline QByteArray storedZip(const QList<QPair<QByteArray, QByteArray>>& members) {
    const auto crc32 = [](const QByteArray& data) {
        quint32 crc = 0xFFFFFFFFu;
        for (char c : data) {
            crc ^= static_cast<quint8>(c);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    const auto le16 = [](QByteArray& out, quint16 value) {
        out.append(reinterpret_cast<const char*>(&value), 2); // little-endian host (x86-64)
    };
    const auto le32 = [](QByteArray& out, quint32 value) {
        out.append(reinterpret_cast<const char*>(&value), 4);
    };
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);

    QByteArray archive;
    QByteArray directory;
    for (const auto& [name, data] : members) {
        const quint32 crc = crc32(data);
        const auto size = static_cast<quint32>(data.size());
        const auto offset = static_cast<quint32>(archive.size());
        // Local header: signature, version 2.0, UTF-8 names, stored, 1980-01-01 00:00.
        le32(archive, 0x04034b50);
        le16(archive, 20);
        le16(archive, 0x0800);
        le16(archive, 0);
        le16(archive, 0);
        le16(archive, 0x21);
        le32(archive, crc);
        le32(archive, size);
        le32(archive, size);
        le16(archive, static_cast<quint16>(name.size()));
        le16(archive, 0);
        archive += name + data;

        le32(directory, 0x02014b50);
        le16(directory, 20);
        le16(directory, 20);
        le16(directory, 0x0800);
        le16(directory, 0);
        le16(directory, 0);
        le16(directory, 0x21);
        le32(directory, crc);
        le32(directory, size);
        le32(directory, size);
        le16(directory, static_cast<quint16>(name.size()));
        le16(directory, 0); // extra
        le16(directory, 0); // comment
        le16(directory, 0); // disk
        le16(directory, 0); // internal attributes
        le32(directory, 0); // external attributes
        le32(directory, offset);
        directory += name;
    }
    const auto directoryOffset = static_cast<quint32>(archive.size());
    archive += directory;
    le32(archive, 0x06054b50);
    le16(archive, 0);
    le16(archive, 0);
    le16(archive, static_cast<quint16>(members.size()));
    le16(archive, static_cast<quint16>(members.size()));
    le32(archive, static_cast<quint32>(directory.size()));
    le32(archive, directoryOffset);
    le16(archive, 0);
    return archive;
}

inline QByteArray handWrittenPdf(int pages, qint64 totalSize = 0,
                                 const QByteArray& encryptFilter = {}) {
    PdfOptions options;
    options.pages = pages;
    options.totalSize = totalSize;
    options.encryptFilter = encryptFilter;
    return handWrittenPdf(options);
}

} // namespace korvex::test
