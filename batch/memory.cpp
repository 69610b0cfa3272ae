#include "batch/memory.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <span>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "core/files.h"
#include "core/picture.h"
#include "codec/formats.h"
#include "ops/pixels.h"

#if defined(__SANITIZE_ADDRESS__)
#define WORKBENCH_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WORKBENCH_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// Room above the limit for the address-space backstop: libraries' working
// memory (zlib, libpng, libjpeg), the allocator's own, and what the
// estimate leaves out.
constexpr std::uint64_t kBackstopRoom = 64 * kMiB;

std::uint64_t RowBytes(std::uint64_t width) { return (3 * width + 3) / 4 * 4; }  // 24-bit rows, as held

// What Filter holds while it runs (ops/filter.h): for each of its five
// passes three rows of a byte a pixel, and a row of medians, so 16 bytes a
// column of the rows it works on. Those are the whole width up to 32768
// pixels (strips of rows of about 4 KB under 128 pixels across), or bands
// of 16384 columns and 5 columns either side, with 10 bytes a row carried
// from one band to the next.
std::uint64_t FilterBytes(std::uint64_t width, std::uint64_t height) {
    if (width < 128) return 16 * (4096 + width + 2);
    if (width <= 32768) return 16 * (width + 2);
    return 16 * (16384 + 10 + 2) + 10 * height;
}

std::optional<std::uint64_t> CgroupLimit() {
    std::ifstream file("/sys/fs/cgroup/memory.max");  // cgroup v2
    std::string text;
    if (!(file >> text) || text == "max") {
        std::ifstream v1("/sys/fs/cgroup/memory/memory.limit_in_bytes");
        if (!(v1 >> text)) return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint64_t> ParseMemorySize(const std::string& text) {
    std::uint64_t value = 0;
    const char* const first = text.data();
    const char* const last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end == first) return std::nullopt;
    std::string suffix(end, last);
    for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (suffix.size() == 2 && suffix[1] == 'B') suffix.pop_back();
    int shift = 0;
    if (suffix == "K") shift = 10;
    else if (suffix == "M") shift = 20;
    else if (suffix == "G") shift = 30;
    else if (!suffix.empty()) return std::nullopt;
    if (value == 0 || value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

std::string MemoryText(std::uint64_t bytes) {
    const char* const units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double amount = static_cast<double>(bytes);
    int unit = 0;
    while (amount >= 1024 && unit < 4) amount /= 1024, ++unit;
    char text[32];
    if (unit == 0 || amount >= 100 || amount == static_cast<double>(static_cast<std::uint64_t>(amount)))
        std::snprintf(text, sizeof text, "%.0f %s", amount, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", amount, units[unit]);
    return text;
}

std::uint64_t DefaultMemoryLimit(int workers) {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    std::uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                                                     : 4096 * kMiB;
    if (const std::optional<std::uint64_t> group = CgroupLimit()) memory = std::min(memory, *group);
    return std::max<std::uint64_t>(memory / static_cast<std::uint64_t>(std::max(workers, 1)), 1);
}

std::uint64_t ChainNeed(std::uint64_t width, std::uint64_t height, char lastStage, std::uint64_t decoderBytes,
                        bool measured) {
    const std::uint64_t pixels = width * height;
    const std::uint64_t rows = RowBytes(width) * height;
    // Reading: the rows and what the reader holds besides them.
    const std::uint64_t reading = rows + decoderBytes;
    // The operations work on the rows in place, one after another, each
    // with memory of its own while it runs: Filter a few rows of bytes,
    // Thin the foreground packed into bits (the plane, its starting copy
    // and change bits, at most 2.4 bits a pixel, and a third of a byte a
    // column). Binarize and Label hold nothing.
    std::uint64_t working = FilterBytes(width, height);
    if (lastStage >= 'C') working = std::max(working, pixels * 3 / 10 + width / 3);
    // Measuring stage C (ops/skeleton.h): two bytes and a 32-bit cell a
    // pixel of the plane with its border, and the graph, counted here at 8
    // bytes a pixel (a node or a branch of about 100 bytes every dozen
    // pixels; a thinned picture has far fewer).
    if (measured) working = std::max(working, 6 * (width + 2) * (height + 2) + 8 * pixels);
    // Writing: a chunk of rows for BMP, a row and zlib's state for PNG.
    const std::uint64_t writing = 64 * 1024 + 2 * RowBytes(width) + 512 * 1024;
    return std::max(reading, rows + working + writing);
}

std::uint64_t StreamNeed(std::uint64_t width, int iterations) {
    return width * (24 + 16 * static_cast<std::uint64_t>(std::max(iterations, 0)) / 10);
}

std::optional<DeclaredPicture> DeclaredPictureOf(const std::string& path) {
    try {
        files::InputFile file{FileName(path)};
        const std::optional<codec::DeclaredPixels> declared = codec::DeclaredSizeOf(file.Access(), kMaxPicturePixels);
        if (!declared) return std::nullopt;
        return DeclaredPicture{declared->width, declared->height, declared->heldFileBytes};
    } catch (const std::exception&) {
        return std::nullopt;  // the read itself says what is wrong
    }
}

void KeepFreedMemory() {
    // One heap for every thread too: an arena of its own would reserve 64
    // MB of address space for each of a picture's threads, and with blocks
    // never mapped apart none could hold a band larger than that.
    ::mallopt(M_ARENA_MAX, 1);
    ::mallopt(M_MMAP_MAX, 0);
    ::mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}

void GiveBackAfter(std::uint64_t width, std::uint64_t height) {
    if (RowBytes(width) * height > 32 * kMiB) ::malloc_trim(0);
}

void LimitAddressSpace(std::uint64_t limit) {
#ifdef WORKBENCH_ADDRESS_SANITIZER
    (void)limit;
#else
    std::uint64_t pages = 0;
    std::ifstream statm("/proc/self/statm");
    if (!(statm >> pages)) return;
    const std::uint64_t held = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE));
    if (limit > RLIM_INFINITY - held - kBackstopRoom) return;
    rlimit current{};
    if (::getrlimit(RLIMIT_AS, &current) != 0) return;
    const rlim_t wanted = held + limit + kBackstopRoom;
    if (current.rlim_cur != RLIM_INFINITY && wanted > current.rlim_cur) return;  // a lower limit holds already
    current.rlim_cur = wanted;
    ::setrlimit(RLIMIT_AS, &current);
#endif
}
