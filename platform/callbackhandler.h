#pragma once

#include <cstdint>

// The download observer. It has the operations of the platform's bind-status callback, in the
// same order and with the same results; on Windows the download service wraps it in a COM
// object that forwards every call, elsewhere our own download service calls it directly, so
// one implementation and one set of tests serve both.

using HResult = std::int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
inline constexpr HResult kENoInterface = static_cast<HResult>(0x80004002u);

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
    friend bool operator==(const Guid &, const Guid &) = default;
};

inline constexpr Guid kIidIUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr Guid kIidIBindStatusCallback{0x79EAC9C1, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

// The status codes a download reports through OnProgress.
enum BindStatus : std::uint32_t {
    kBindStatusFindingResource = 1,
    kBindStatusConnecting = 2,
    kBindStatusBeginDownloadData = 4,
    kBindStatusDownloadingData = 5,
    kBindStatusEndDownloadData = 6,
    kBindStatusSendingRequest = 11,
    kBindStatusMimeTypeAvailable = 13,
    kBindStatusCacheFilenameAvailable = 14,
};

class CallbackHandler {
public:
    HResult QueryInterface(const Guid &iid, void **object);
    std::uint32_t AddRef();
    std::uint32_t Release();
    HResult OnStartBinding(std::uint32_t reserved, void *binding);
    HResult GetPriority(std::int32_t *priority);
    HResult OnLowResource(std::uint32_t reserved);
    HResult OnProgress(std::uint32_t progress, std::uint32_t progressMax, std::uint32_t statusCode,
                       const wchar_t *statusText);
    HResult OnStopBinding(HResult result, const wchar_t *error);
    HResult GetBindInfo(std::uint32_t *bindFlags, void *bindInfo);
    HResult OnDataAvailable(std::uint32_t flags, std::uint32_t size, void *formatEtc, void *medium);
    HResult OnObjectAvailable(const Guid &iid, void *object);

    std::int32_t lastPercent = 0;  // highest percentage reported so far
};
