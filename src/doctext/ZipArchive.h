#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <optional>

struct zip; // libzip's archive handle

namespace korvex::doctext {

// Limits on every member taken out of an archive. A hostile or damaged document (a
// decompression bomb, a member that claims gigabytes) is refused before anything is inflated.
inline constexpr std::uint64_t kMaxMemberBytes = 67108864; // 64 MiB, inclusive
inline constexpr std::uint64_t kMaxCompressionRatio = 200; // uncompressed / compressed, floored

struct ZipMemberInfo {
    QByteArray name; // UTF-8
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    bool isDirectory = false;
};

// A ZIP archive read from bytes held in memory; nothing is ever written to disk. The archive
// reads the bytes in place: they must stay alive and unchanged until it is closed or destroyed.
class ZipArchive {
public:
    // No value when the bytes are not a readable ZIP archive.
    static std::optional<ZipArchive> open(QByteArrayView bytes);

    ZipArchive(ZipArchive&& other) noexcept;
    ZipArchive& operator=(ZipArchive&& other) noexcept;
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;
    ~ZipArchive();

    // Releases the handle; a closed archive has no members. Safe to call more than once.
    void close() noexcept;
    bool isOpen() const noexcept { return archive_ != nullptr; }

    std::uint64_t memberCount() const;
    std::optional<ZipMemberInfo> memberInfo(std::uint64_t index) const;
    // The index of the member with this full path (UTF-8), ASCII letters compared without
    // regard to case.
    std::optional<std::uint64_t> locate(const char* memberName) const;

    zip* handle() const noexcept { return archive_; }

private:
    explicit ZipArchive(zip* archive) noexcept : archive_(archive) {}

    zip* archive_ = nullptr;
};

// The complete content of one member, or no value when it is missing or refused: larger than
// kMaxMemberBytes, compressed more than kMaxCompressionRatio, stored with compressed size 0, a
// directory, encrypted, compressed by a method other than stored or DEFLATE, larger than the
// remaining budget (when one is given), or when its content fails the CRC-32 check or does not
// have the size the archive declares. An extracted member's size is subtracted from the budget;
// a refused one leaves it unchanged. The archive stays usable after a refusal.
std::optional<QByteArray> extractZipMember(ZipArchive& archive, const char* memberName,
                                           std::uint64_t* remainingBudget);
std::optional<QByteArray> extractZipMember(ZipArchive& archive, std::uint64_t index,
                                           std::uint64_t* remainingBudget);

} // namespace korvex::doctext
