#pragma once

#include <cstddef>
#include <string_view>

namespace korvex::test {

// How often bytes occur in this process's own writable memory that no file backs: the heap,
// the allocator's and the threads' anonymous mappings, read through /proc/self/mem. Memory the
// program freed without wiping is still there to be found, as it would be in a core dump or a
// swapped-out page. Mappings larger than 1 GiB (a sanitizer's shadow) are skipped. The bytes
// looked for should live in read-only data (a literal), or they find themselves.
int occurrencesInMemory(std::string_view bytes);

// The same for text as the widgets hold it (UTF-16).
int occurrencesInMemory(std::u16string_view text);

} // namespace korvex::test
