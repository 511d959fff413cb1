#include "doctext/ZipArchive.h"

#include "crypto/SecureWipe.h"

#include <cstring>
#include <new>
#include <utility>
#include <zip.h>

namespace korvex::doctext {

namespace {

constexpr std::uint32_t kDosDirectoryAttribute = 0x10;
constexpr std::uint32_t kUnixFileTypeMask = 0170000;
constexpr std::uint32_t kUnixDirectoryType = 0040000;

// A name ending in '/' is a directory by convention; writers also mark directories in the
// external attributes, as the MS-DOS directory bit or, from Unix hosts, as the file mode.
bool isDirectoryMember(zip* archive, std::uint64_t index, const char* name) {
    const std::size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == '/')
        return true;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0)
        return false;
    if ((attributes & kDosDirectoryAttribute) != 0)
        return true;
    return system == ZIP_OPSYS_UNIX &&
           ((attributes >> 16) & kUnixFileTypeMask) == kUnixDirectoryType;
}

struct MemberStat {
    ZipMemberInfo info;
    zip_uint16_t method = 0;
    zip_uint16_t encryption = 0;
};

std::optional<MemberStat> statMember(zip* archive, std::uint64_t index) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0)
        return std::nullopt;
    constexpr zip_uint64_t needed = ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE |
                                    ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    if ((st.valid & needed) != needed || st.name == nullptr)
        return std::nullopt;
    MemberStat stat;
    stat.info.name = QByteArray(st.name);
    stat.info.compressedSize = st.comp_size;
    stat.info.uncompressedSize = st.size;
    stat.info.isDirectory = isDirectoryMember(archive, index, st.name);
    stat.method = st.comp_method;
    stat.encryption = st.encryption_method;
    return stat;
}

// Reads the member completely into a buffer of exactly its declared size. libzip checks the
// CRC-32 (and the size) only when a read reaches the end of the member, so one more read must
// report that end: it fails on a CRC mismatch and yields bytes when the member holds more than it
// declared.
std::optional<QByteArray> readWholeMember(zip* archive, std::uint64_t index, std::uint64_t size) {
    zip_file_t* file = zip_fopen_index(archive, index, 0);
    if (file == nullptr)
        return std::nullopt;

    QByteArray data;
    try {
        data = QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        zip_fclose(file);
        return std::nullopt;
    }

    bool complete = true;
    std::uint64_t filled = 0;
    while (filled < size) {
        const zip_int64_t got = zip_fread(file, data.data() + filled, size - filled);
        if (got <= 0) {
            complete = false; // an error, or fewer bytes than declared
            break;
        }
        filled += static_cast<std::uint64_t>(got);
    }
    if (complete) {
        char probe = 0;
        complete = zip_fread(file, &probe, 1) == 0;
        crypto::secureWipe(&probe, sizeof probe);
    }
    if (zip_fclose(file) != 0)
        complete = false;

    if (!complete) {
        crypto::secureWipe(data);
        return std::nullopt;
    }
    return data;
}

} // namespace

std::optional<ZipArchive> ZipArchive::open(QByteArrayView bytes) {
    if (bytes.isEmpty())
        return std::nullopt;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source =
        zip_source_buffer_create(bytes.data(), static_cast<zip_uint64_t>(bytes.size()), 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return std::nullopt;
    }
    zip* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        zip_source_free(source);
        return std::nullopt;
    }
    // From here on the archive owns the source.
    return ZipArchive(archive);
}

ZipArchive::ZipArchive(ZipArchive&& other) noexcept
    : archive_(std::exchange(other.archive_, nullptr)) {}

ZipArchive& ZipArchive::operator=(ZipArchive&& other) noexcept {
    if (this != &other) {
        close();
        archive_ = std::exchange(other.archive_, nullptr);
    }
    return *this;
}

ZipArchive::~ZipArchive() {
    close();
}

void ZipArchive::close() noexcept {
    // Read-only: discarding never writes anything back.
    if (archive_ != nullptr)
        zip_discard(std::exchange(archive_, nullptr));
}

std::uint64_t ZipArchive::memberCount() const {
    if (archive_ == nullptr)
        return 0;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    return count < 0 ? 0 : static_cast<std::uint64_t>(count);
}

std::optional<ZipMemberInfo> ZipArchive::memberInfo(std::uint64_t index) const {
    if (archive_ == nullptr)
        return std::nullopt;
    auto stat = statMember(archive_, index);
    if (!stat)
        return std::nullopt;
    return std::move(stat->info);
}

std::optional<std::uint64_t> ZipArchive::locate(const char* memberName) const {
    if (archive_ == nullptr || memberName == nullptr)
        return std::nullopt;
    const zip_int64_t index = zip_name_locate(archive_, memberName, ZIP_FL_NOCASE);
    if (index < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(index);
}

std::optional<QByteArray> extractZipMember(ZipArchive& archive, const char* memberName,
                                           std::uint64_t* remainingBudget) {
    const auto index = archive.locate(memberName);
    if (!index)
        return std::nullopt;
    return extractZipMember(archive, *index, remainingBudget);
}

std::optional<QByteArray> extractZipMember(ZipArchive& archive, std::uint64_t index,
                                           std::uint64_t* remainingBudget) {
    if (!archive.isOpen())
        return std::nullopt;
    const auto stat = statMember(archive.handle(), index);
    if (!stat)
        return std::nullopt;
    const std::uint64_t size = stat->info.uncompressedSize;
    const std::uint64_t compressed = stat->info.compressedSize;
    if (size > kMaxMemberBytes)
        return std::nullopt;
    if (compressed != 0 && size / compressed > kMaxCompressionRatio)
        return std::nullopt;
    if (remainingBudget != nullptr && size > *remainingBudget)
        return std::nullopt;
    if (stat->info.isDirectory || compressed == 0)
        return std::nullopt;
    if (stat->encryption != ZIP_EM_NONE ||
        (stat->method != ZIP_CM_STORE && stat->method != ZIP_CM_DEFLATE))
        return std::nullopt;

    // Only exactly `size` bytes are ever accepted, so the budget charged equals the size it was
    // checked against and cannot wrap below zero.
    auto data = readWholeMember(archive.handle(), index, size);
    if (!data)
        return std::nullopt;
    if (remainingBudget != nullptr)
        *remainingBudget -= static_cast<std::uint64_t>(data->size());
    return data;
}

} // namespace korvex::doctext
