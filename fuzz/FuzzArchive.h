#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <utility>
#include <zip.h>

// Mutated archive bytes seldom get past the CRC-32 check, so the XML readers behind it would
// hardly be reached. An input that does not start like a ZIP archive is therefore taken as the
// XML of members and packed, stored, into a fresh archive before it is handed to the extractor.
namespace korvex::fuzz {

inline bool looksLikeArchive(QByteArrayView input) {
    return input.startsWith("PK");
}

inline QByteArray packStored(const QList<std::pair<QByteArray, QByteArray>>& members) {
    QByteArray packed;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (target == nullptr)
        return packed;
    zip_source_keep(target);
    if (zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error)) {
        for (const auto& [name, data] : members) {
            zip_source_t* source = zip_source_buffer(archive, data.constData(),
                                                     static_cast<zip_uint64_t>(data.size()), 0);
            const zip_int64_t index = zip_file_add(archive, name.constData(), source, 0);
            if (index < 0) {
                zip_source_free(source);
                continue;
            }
            zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        }
        if (zip_close(archive) != 0) {
            zip_discard(archive);
        } else if (zip_source_open(target) == 0) {
            zip_source_seek(target, 0, SEEK_END);
            const zip_int64_t size = zip_source_tell(target);
            zip_source_seek(target, 0, SEEK_SET);
            if (size > 0) {
                packed.resize(static_cast<qsizetype>(size));
                if (zip_source_read(target, packed.data(), static_cast<zip_uint64_t>(size)) != size)
                    packed.clear();
            }
            zip_source_close(target);
        }
    }
    zip_source_free(target);
    zip_error_fini(&error);
    return packed;
}

} // namespace korvex::fuzz
