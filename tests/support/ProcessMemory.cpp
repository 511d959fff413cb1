#include "support/ProcessMemory.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace korvex::test {

namespace {

struct Region {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
};

constexpr std::uintptr_t kLargestRegion = std::uintptr_t(1) << 30;
constexpr std::size_t kChunk = 1 << 20;

// The private, writable mappings without a file: listed before anything is read, so that what
// the scan itself allocates is not among them.
std::vector<Region> anonymousWritableRegions() {
    std::vector<Region> regions;
    FILE* maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr)
        return regions;
    char line[4096];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long start = 0;
        unsigned long end = 0;
        char permissions[5] = {};
        unsigned long offset = 0;
        char device[16] = {};
        unsigned long inode = 0;
        int consumed = 0;
        if (std::sscanf(line, "%lx-%lx %4s %lx %15s %lu %n", &start, &end, permissions, &offset,
                        device, &inode, &consumed) < 6)
            continue;
        std::string path(line + consumed);
        while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
            path.pop_back();
        const bool anonymous = inode == 0 && (path.empty() || path == "[heap]" ||
                                              path.rfind("[anon", 0) == 0 || path == "[stack]");
        if (permissions[0] == 'r' && permissions[1] == 'w' && anonymous &&
            end - start <= kLargestRegion)
            regions.push_back(Region{start, end});
    }
    std::fclose(maps);
    return regions;
}

int occurrences(const unsigned char* needle, std::size_t length) {
    if (length == 0)
        return 0;
    const std::vector<Region> regions = anonymousWritableRegions();
    const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (memory < 0)
        return -1;
    // A mapping of its own, made after the list was taken, so the scan never reads itself.
    const std::size_t bufferSize = kChunk + length;
    void* mapped =
        ::mmap(nullptr, bufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        ::close(memory);
        return -1;
    }
    auto* buffer = static_cast<unsigned char*>(mapped);
    int found = 0;
    for (const Region& region : regions) {
        for (std::uintptr_t at = region.start; at < region.end; at += kChunk) {
            // Each chunk overlaps the next by the needle's length less one, so nothing that
            // straddles a boundary is missed or counted twice.
            const std::size_t want = std::min<std::uintptr_t>(kChunk + length - 1, region.end - at);
            const ssize_t got = ::pread(memory, buffer, want, static_cast<off_t>(at));
            if (got < static_cast<ssize_t>(length))
                continue;
            const unsigned char* end = buffer + got;
            for (const unsigned char* p = buffer; p + length <= end; ++p) {
                p = static_cast<const unsigned char*>(
                    ::memmem(p, static_cast<std::size_t>(end - p), needle, length));
                if (p == nullptr)
                    break;
                if (static_cast<std::size_t>(p - buffer) < kChunk)
                    ++found;
            }
        }
    }
    ::munmap(mapped, bufferSize);
    ::close(memory);
    return found;
}

} // namespace

int occurrencesInMemory(std::string_view bytes) {
    return occurrences(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

int occurrencesInMemory(std::u16string_view text) {
    return occurrences(reinterpret_cast<const unsigned char*>(text.data()),
                       text.size() * sizeof(char16_t));
}

} // namespace korvex::test
