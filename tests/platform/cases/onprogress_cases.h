#pragma once

// Cases for CallbackHandler::OnProgress, run on Linux and
// under wine. Each case feeds a fresh observer a few notifications and states the whole log they
// produce, the observer's lastPercent and DownloadStatus::downloadProgress afterwards.

#include <cstdint>

namespace nembral_cases {

struct ProgressCall {
    std::uint32_t progress;
    std::uint32_t progressMax;
    std::uint32_t statusCode;
};

// downloadProgress is set to this before each case; it stays so when nothing is reported.
inline constexpr std::int32_t kProgressUntouched = -12345;

struct OnProgressCase {
    const char *name;
    int callCount;
    ProgressCall calls[4];
    const char *log;  // every line followed by '\n'
    std::int32_t lastPercent;
    std::int32_t downloadProgress;
};

inline constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;

inline constexpr OnProgressCase kOnProgressCases[] = {
    {"finding resource", 1, {{0, 0, 1}}, "Finding resource...\n", 0, kProgressUntouched},
    {"connecting", 1, {{0, 0, 2}}, "Connecting...\n", 0, kProgressUntouched},
    {"begin download", 1, {{0, 0, 4}}, "Begin download\n", 0, kProgressUntouched},
    {"sending request", 1, {{0, 0, 11}}, "Sending request...\n", 0, kProgressUntouched},
    {"mime type", 1, {{0, 0, 13}}, "Mime type available\n", 0, kProgressUntouched},
    {"cache filename", 1, {{0, 0, 14}}, "Cache filename available\n", 0, kProgressUntouched},
    {"status 0 is an unknown code", 1, {{0, 0, 0}}, "Status code : 0\n", 0, kProgressUntouched},
    {"status 3 (redirecting)", 1, {{0, 0, 3}}, "Status code : 3\n", 0, kProgressUntouched},
    {"statuses 7, 10, 12, 15", 4, {{0, 0, 7}, {0, 0, 10}, {0, 0, 12}, {0, 0, 15}}, "Status code : 7\nStatus code : 10\nStatus code : 12\nStatus code : 15\n", 0, kProgressUntouched},
    {"largest status code in decimal", 1, {{0, 0, kMax32}}, "Status code : 4294967295\n", 0, kProgressUntouched},
    {"status lines ignore the progress", 2, {{50, 100, 1}, {70, 100, 4}}, "Finding resource...\nBegin download\n", 0, kProgressUntouched},
    {"half way", 1, {{50, 100, 5}}, "50\n", 50, 50},
    {"one third truncates", 2, {{1, 3, 5}, {2, 3, 5}}, "33\n66\n", 66, 66},
    {"99.9 truncates to 99", 1, {{999, 1000, 5}}, "99\n", 99, 99},
    {"zero is never reported", 1, {{0, 100, 5}}, "", 0, kProgressUntouched},
    {"below one percent", 1, {{9, 1000, 5}}, "", 0, kProgressUntouched},
    {"maximum 0 reports nothing", 2, {{10, 0, 5}, {0, 0, 5}}, "", 0, kProgressUntouched},
    {"maximum 0 at the end still ends", 1, {{10, 0, 6}}, "\nEnd download\n", 0, kProgressUntouched},
    {"end at 100", 1, {{100, 100, 6}}, "100\n\nEnd download\n", 100, 100},
    {"end after 100 repeats nothing", 2, {{100, 100, 5}, {100, 100, 6}}, "100\n\nEnd download\n", 100, 100},
    {"twice the maximum is 200", 1, {{200, 100, 5}}, "200\n", 200, 200},
    {"repeats are logged once", 3, {{50, 100, 5}, {50, 100, 5}, {51, 100, 5}}, "50\n51\n", 51, 51},
    {"lower values are not logged", 2, {{60, 100, 5}, {30, 100, 5}}, "60\n", 60, 60},
    {"full 32-bit values", 2, {{kMax32 / 2, kMax32, 5}, {kMax32, kMax32, 5}}, "49\n100\n", 100, 100},
    {"largest percentage that fits", 1, {{21474836, 1, 5}}, "2147483600\n", 2147483600, 2147483600},
    {"percentage beyond 32 bits", 1, {{kMax32, 1, 5}}, "", 0, kProgressUntouched},
    {"out of range then in range", 2, {{kMax32, 2, 5}, {3, 4, 5}}, "75\n", 75, 75},
};

}  // namespace nembral_cases
