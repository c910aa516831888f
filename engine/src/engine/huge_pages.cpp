#include "engine/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

#include "engine/kept_mappings.h"

namespace tarvik::engine {
namespace {

// Room for the tables of a day of about 300,000 instruments.
constexpr std::size_t kKeptTableBytes = std::size_t{256} << 20;

KeptMappings& kept_tables() {
    static auto* kept = new KeptMappings(kKeptTableBytes);
    return *kept;
}

// A program may unload the engine and load it again, once a day: the
// pages this copy keeps are unmapped as it goes, where no later copy
// would ever find them. (At the process's end as well, where they go
// anyway; a table let go of after this is kept or unmapped as before.)
struct ReleasedAtUnload {
    ~ReleasedAtUnload() { kept_tables().release(); }
} released_at_unload;

}  // namespace

uint8_t* map_on_huge_pages(std::size_t length) {
    // Mapped a huge page longer, then trimmed to start on a huge page.
    const std::size_t padded = length + kHugePage;
    void* p = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto* base = static_cast<uint8_t*>(p);
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    const std::size_t head = (kHugePage - (address & (kHugePage - 1))) & (kHugePage - 1);
    if (head > 0) ::munmap(base, head);
    const std::size_t tail = padded - head - length;
    if (tail > 0) ::munmap(base + head + length, tail);
    ::madvise(base + head, length, MADV_HUGEPAGE);  // advice only: small pages still work
    return base + head;
}

uint8_t* map_table(std::size_t bytes) { return kept_tables().map(huge_page_length(bytes)); }

void unmap_table(void* p, std::size_t bytes) { kept_tables().give(static_cast<uint8_t*>(p), huge_page_length(bytes)); }

}  // namespace tarvik::engine
