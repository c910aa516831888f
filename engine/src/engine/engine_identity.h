// The identity record every engine library carries in its read-only data:
// a fixed magic, the version bytes and the build date and time, closed by
// a check word. sTarvikListAPIDLLs recognises engine files by it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::engine {

inline constexpr char kEngineIdentityMagic[16] = {'T', 'A', 'R', 'V', 'I', 'K', '-', 'E',
                                                  'N', 'G', 'I', 'N', 'E', '-', 'I', 'D'};

struct EngineIdentity {
    char magic[16];
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint8_t reserved;
    uint8_t major;
    uint8_t minor;
    uint16_t build;
    uint32_t check;  // identity_check() of the bytes before it
};
static_assert(sizeof(EngineIdentity) == 32);
static_assert(offsetof(EngineIdentity, year) == 16);
static_assert(offsetof(EngineIdentity, major) == 24);
static_assert(offsetof(EngineIdentity, check) == 28);

// FNV-1a over the fields, so that a stray copy of the magic is not taken
// for an identity.
constexpr uint32_t identity_check(const EngineIdentity& id) {
    uint32_t h = 2166136261u;
    const auto mix = [&h](uint32_t byte) { h = (h ^ byte) * 16777619u; };
    for (char c : id.magic) mix(static_cast<unsigned char>(c));
    mix(id.year & 0xFF), mix(id.year >> 8), mix(id.month), mix(id.day), mix(id.hour), mix(id.minute);
    mix(id.second), mix(id.reserved), mix(id.major), mix(id.minor), mix(id.build & 0xFF), mix(id.build >> 8);
    return h;
}

// From the compiler's __DATE__ ("Mmm dd yyyy") and __TIME__ ("hh:mm:ss").
constexpr EngineIdentity make_engine_identity(int major, int minor, int build, const char* date, const char* time) {
    constexpr const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    EngineIdentity id{};
    for (int i = 0; i < 16; ++i) id.magic[i] = kEngineIdentityMagic[i];
    for (int m = 0; m < 12; ++m) {
        if (date[0] == kMonths[3 * m] && date[1] == kMonths[3 * m + 1] && date[2] == kMonths[3 * m + 2])
            id.month = static_cast<uint8_t>(m + 1);
    }
    const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
    id.day = static_cast<uint8_t>(digit(date[4]) * 10 + digit(date[5]));
    id.year = static_cast<uint16_t>(digit(date[7]) * 1000 + digit(date[8]) * 100 + digit(date[9]) * 10 + digit(date[10]));
    id.hour = static_cast<uint8_t>(digit(time[0]) * 10 + digit(time[1]));
    id.minute = static_cast<uint8_t>(digit(time[3]) * 10 + digit(time[4]));
    id.second = static_cast<uint8_t>(digit(time[6]) * 10 + digit(time[7]));
    id.major = static_cast<uint8_t>(major);
    id.minor = static_cast<uint8_t>(minor);
    id.build = static_cast<uint16_t>(build);
    id.check = identity_check(id);
    return id;
}

}  // namespace tarvik::engine
