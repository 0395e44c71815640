#include "platform/callbackhandler.h"

#include <cmath>
#include <limits>
#include <string>

#include "platform/downloadstatus.h"
#include "platform/log.h"

// The one status the download worker writes and the window polls (downloadstatus.h).
DownloadStatus downloadStatus;

HResult CallbackHandler::QueryInterface(const Guid &iid, void **object)
{
    if (iid == kIidIBindStatusCallback || iid == kIidIUnknown) {
        *object = this;
        return kSOk;
    }
    *object = nullptr;
    return kENoInterface;
}

// The observer lives on the stack of one download attempt and is never freed through the
// reference count, so the count is a constant.
std::uint32_t CallbackHandler::AddRef()
{
    return 2;
}

std::uint32_t CallbackHandler::Release()
{
    return 1;
}

HResult CallbackHandler::OnStartBinding(std::uint32_t, void *)
{
    return kENotImpl;
}

HResult CallbackHandler::GetPriority(std::int32_t *)
{
    return kENotImpl;
}

HResult CallbackHandler::OnLowResource(std::uint32_t)
{
    return kENotImpl;
}

namespace {

// progress * 100 / maximum, truncated toward zero; false when there is nothing to report
// (maximum 0, or a quotient that does not fit a signed 32-bit int).
bool percentOf(std::uint32_t progress, std::uint32_t progressMax, std::int32_t *percent)
{
    const double quotient = static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax);
    if (!std::isfinite(quotient))
        return false;
    const double truncated = std::trunc(quotient);
    if (truncated < static_cast<double>(std::numeric_limits<std::int32_t>::min())
        || truncated > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return false;
    *percent = static_cast<std::int32_t>(truncated);
    return true;
}

}  // namespace

HResult CallbackHandler::OnProgress(std::uint32_t progress, std::uint32_t progressMax,
                                    std::uint32_t statusCode, const wchar_t *)
{
    const auto percentageStep = [&] {
        std::int32_t percent = 0;
        if (!percentOf(progress, progressMax, &percent))
            return;
        if (percent > lastPercent) {
            downloadStatus.downloadProgress.store(percent);
            logLine(std::to_string(percent));
            lastPercent = percent;
        }
    };

    switch (statusCode) {
    case kBindStatusFindingResource:
        logLine("Finding resource...");
        break;
    case kBindStatusConnecting:
        logLine("Connecting...");
        break;
    case kBindStatusBeginDownloadData:
        logLine("Begin download");
        break;
    case kBindStatusDownloadingData:
        percentageStep();
        break;
    case kBindStatusEndDownloadData:
        percentageStep();
        logLine("");
        logLine("End download");
        break;
    case kBindStatusSendingRequest:
        logLine("Sending request...");
        break;
    case kBindStatusMimeTypeAvailable:
        logLine("Mime type available");
        break;
    case kBindStatusCacheFilenameAvailable:
        logLine("Cache filename available");
        break;
    default:
        logLine("Status code : " + std::to_string(statusCode));
        break;
    }
    return kSOk;
}

HResult CallbackHandler::OnStopBinding(HResult, const wchar_t *)
{
    return kENotImpl;
}

HResult CallbackHandler::GetBindInfo(std::uint32_t *, void *)
{
    return kENotImpl;
}

HResult CallbackHandler::OnDataAvailable(std::uint32_t, std::uint32_t, void *, void *)
{
    return kENotImpl;
}

HResult CallbackHandler::OnObjectAvailable(const Guid &, void *)
{
    return kENotImpl;
}
