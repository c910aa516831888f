#include "engine/listings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine_constants.h"
#include "engine/dates.h"
#include "engine/engine_identity.h"
#include "engine/tape_reader.h"

namespace tarvik::engine {
namespace {

// Windows-style attribute bits, as the records carry them.
constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr off_t kMaxLibraryBytes = off_t{1} << 30;

struct FoundFile {
    std::string path;  // resolved, shorter than kListingPathSize
    uint64_t size;
    uint32_t attributes;
};

// The regular files of a directory, by name; unreadable ones are left out.
std::vector<FoundFile> files_in(const std::string& directory) {
    std::vector<FoundFile> files;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return files;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = directory + "/" + name;
        struct stat st;
        char resolved[PATH_MAX];
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0) continue;
        if (::realpath(path.c_str(), resolved) == nullptr || std::strlen(resolved) >= kListingPathSize) continue;
        const uint32_t attributes = ::access(path.c_str(), W_OK) == 0 ? kAttributeNormal : kAttributeReadOnly;
        files.push_back({resolved, static_cast<uint64_t>(st.st_size), attributes});
    }
    return files;
}

template <typename Record>
void fill_file_fields(Record& r, const FoundFile& f) {
    std::memcpy(r.PathnameStrZ, f.path.c_str(), f.path.size() + 1);
    r.FileAttributes = f.attributes;
    r.FileSizeHigh = static_cast<uint32_t>(f.size >> 32);
    r.FileSize = static_cast<uint32_t>(f.size);
}

// The identity record in an ELF file, if it is an engine library.
bool find_identity(const std::string& path, EngineIdentity& identity) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a pipe is not waited on
    if (fd < 0) return false;
    struct stat st;
    char elf[4] = {};
    bool found = false;
    if (::fstat(fd, &st) == 0 && st.st_size >= 64 && st.st_size <= kMaxLibraryBytes &&
        ::pread(fd, elf, 4, 0) == 4 && std::memcmp(elf, "\x7f" "ELF", 4) == 0) {
        const auto size = static_cast<std::size_t>(st.st_size);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            const auto* begin = static_cast<const unsigned char*>(map);
            const unsigned char* at = begin;
            const unsigned char* end = begin + size;
            while (!found && end - at >= static_cast<std::ptrdiff_t>(sizeof identity)) {
                const void* hit = ::memmem(at, static_cast<std::size_t>(end - at), kEngineIdentityMagic,
                                           sizeof kEngineIdentityMagic);
                if (hit == nullptr) break;
                at = static_cast<const unsigned char*>(hit);
                if (end - at < static_cast<std::ptrdiff_t>(sizeof identity)) break;
                std::memcpy(&identity, at, sizeof identity);
                found = identity_check(identity) == identity.check;
                ++at;
            }
            ::munmap(map, size);
        }
    }
    ::close(fd);
    return found;
}

bool valid_flags(int32_t flags, TarvikItemCallback callback) { return callback != nullptr && flags >= 0 && flags <= 2; }

}  // namespace

std::vector<std::string> search_directories(const char* path, const std::string& fallback) {
    std::vector<std::string> directories;
    const std::string list = path != nullptr ? path : "";
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t colon = std::min(list.find(':', start), list.size());
        if (colon > start) directories.push_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    if (directories.empty()) directories.push_back(fallback);
    return directories;
}

int32_t list_tapes(int32_t flags, TarvikItemCallback callback) {
    if (!valid_flags(flags, callback)) return TqAPIERR_BAD_PARAMETERS;
    for (const std::string& directory : search_directories(std::getenv("TARVIK_TAPE_PATH"), ".")) {
        for (const FoundFile& file : files_in(directory)) {
            TapeHeader header;
            if (read_tape_header(file.path.c_str(), header) != 0) continue;
            TarvikTapeFileRecord record{};
            fill_file_fields(record, file);
            record.TapeDate.NDays = header.date_ndays;
            date_from_ndays(record.TapeDate);
            std::memcpy(record.PermSet, header.permission_set, sizeof header.permission_set);
            callback(nullptr, &record);
        }
    }
    return TqAPIERR_NO_ERROR;
}

int32_t list_engine_libraries(int32_t flags, TarvikItemCallback callback, const std::string& engine_directory) {
    if (callback == nullptr || flags != 0) return TqAPIERR_BAD_PARAMETERS;
    for (const std::string& directory : search_directories(std::getenv("TARVIK_LIBRARY_PATH"), engine_directory)) {
        for (const FoundFile& file : files_in(directory)) {
            EngineIdentity id;
            if (!find_identity(file.path, id)) continue;
            TarvikAPIDLLFileRecord record{};
            fill_file_fields(record, file);
            record.BuildDate.Year = id.year;
            record.BuildDate.Month = id.month;
            record.BuildDate.Day = id.day;
            date_from_ymd(record.BuildDate);
            const uint32_t seconds = id.hour * 3600u + id.minute * 60u + id.second;
            record.BuildTime = time_from_micros(uint64_t{seconds} * 1'000'000, 0);
            record.verMajor = id.major;
            record.verMinor = id.minor;
            record.verBuild = id.build;
            callback(nullptr, &record);
        }
    }
    return TqAPIERR_NO_ERROR;
}

}  // namespace tarvik::engine
