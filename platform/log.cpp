#include "platform/log.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/brokenpipe.h"

namespace {

std::mutex &logMutex()
{
    static std::mutex m;
    return m;
}

// The support log's state; every member is used under logMutex only.
struct SupportLog {
    std::string path;  // empty: not started
    std::FILE *file = nullptr;
    long long size = 0;  // of the file, as far as this process knows
};

// Never destroyed: worker threads that outlive main() may still log while static objects are
// torn down at exit, and a destroyed path would be read after it was freed.
SupportLog &supportLog()
{
    static SupportLog *const log = new SupportLog;
    return *log;
}

// "YYYY-MM-DDThh:mm:ss.mmmZ " for now, in UTC.
std::string utcStamp()
{
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char stamp[40];
    const int n = std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ ", int(date.year()),
                                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                                int(time.minutes().count()), int(time.seconds().count()),
                                int(time.subseconds().count()));
    return std::string(stamp, n > 0 ? std::size_t(n) : 0);
}

void closeSupportLog(SupportLog &log)
{
    if (log.file)
        (void)std::fclose(log.file);  // what it could not write is lost either way
    log.file = nullptr;
}

// Opens the file for appending, once the folder is there; false when it cannot be.
bool openSupportLog(SupportLog &log)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(log.path).parent_path(), ignored);
    log.file = std::fopen(log.path.c_str(), "ab");
    if (!log.file)
        return false;
    // Large enough for the longest line, stamp and all, so that a line leaves in one write.
    (void)std::setvbuf(log.file, nullptr, _IOFBF, 2 * kMaxLogLineBytes);
    log.size = std::fseek(log.file, 0, SEEK_END) == 0 ? std::ftell(log.file) : 0;
    return true;
}

// The current file becomes the one older file, and a new one begins.
void rotateSupportLog(SupportLog &log)
{
    closeSupportLog(log);
    const std::string older = log.path + ".1";
    (void)std::remove(older.c_str());  // Windows renames onto no existing file
    if (std::rename(log.path.c_str(), older.c_str()) != 0) {
        // Still bounded when it cannot be set aside (another run holds it open on Windows).
        if (std::FILE *emptied = std::fopen(log.path.c_str(), "wb"))
            (void)std::fclose(emptied);
    }
}

void appendToSupportLog(std::string_view line)
{
    SupportLog &log = supportLog();
    if (log.path.empty())
        return;
    const std::string stamped = utcStamp().append(line);
    const auto length = static_cast<long long>(stamped.size());
    if (!log.file && !openSupportLog(log))
        return;
    if (log.size > 0 && log.size + length > static_cast<long long>(kSupportLogMaxBytes)) {
        rotateSupportLog(log);
        if (!openSupportLog(log))
            return;
    }
    const bool written = std::fwrite(stamped.data(), 1, stamped.size(), log.file) == stamped.size()
                         && std::fflush(log.file) == 0;
    if (!written) {
        // Dropped with whatever the stream still holds; the next line opens the file afresh.
        closeSupportLog(log);
        return;
    }
    log.size += length;
}

void writeLine(std::FILE *stream, std::string_view text)
{
    // Text and end of line are put together first so the stream sees one write of a whole
    // line; the lock keeps the GUI thread and the download worker from interleaving.
    std::string line;
    if (text.size() > kMaxLogLineBytes) {
        // Cut before a character that would not fit whole, so a UTF-8 line stays UTF-8.
        std::size_t kept = kMaxLogLineBytes;
        for (int back = 0; back < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80; ++back)
            --kept;
        if ((static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80)
            kept = kMaxLogLineBytes;  // not UTF-8 there anyway
        const std::string marker = " [... " + std::to_string(text.size() - kept) + " more bytes not shown]";
        line.reserve(kept + marker.size() + 1);
        line.append(text.substr(0, kept));
        line.append(marker);
    } else {
        line.reserve(text.size() + 1);
        line.append(text);
    }
    line.push_back('\n');
    const std::lock_guard<std::mutex> lock(logMutex());
    const BrokenPipeGuard guard;
    // Failures are read from the stream's error flag below, not from these results.
    (void)std::fwrite(line.data(), 1, line.size(), stream);
    (void)std::fflush(stream);
    // A failed write (the reader of a pipe has gone) must not stick to the stream: the next
    // line is tried afresh.
    if (std::ferror(stream))
        std::clearerr(stream);
    appendToSupportLog(line);
}

// The length (1 to 4) of the well-formed UTF-8 sequence `bytes` starts with, or 0 when it does
// not start one: no overlong forms, no surrogates, nothing beyond U+10FFFF, none cut short.
std::size_t wellFormedUtf8Length(std::string_view bytes)
{
    const auto at = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf)
            return 0;
    }
    return length;
}

}  // namespace

void logLine(std::string_view text)
{
    writeLine(stdout, text);
}

void logErrorLine(std::string_view text)
{
    writeLine(stderr, text);
}

void startSupportLog(std::string path)
{
    const std::lock_guard<std::mutex> lock(logMutex());
    SupportLog &log = supportLog();
    closeSupportLog(log);
    log.path = std::move(path);
}

std::string escapedForLog(std::string_view bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = wellFormedUtf8Length(bytes.substr(i));
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const bool control = length == 1 ? (lead < 0x20 || lead == 0x7f)
                                         : length == 2 && lead == 0xc2 && static_cast<unsigned char>(bytes[i + 1]) < 0xa0;
        if (length > 0 && !control) {
            text.append(bytes.substr(i, length));
            i += length;
            continue;
        }
        // A control character goes byte by byte; so does a sequence that is not UTF-8, one byte
        // at a time, each of its bytes then counting as a start of its own.
        for (const std::size_t end = i + (length > 0 ? length : 1); i < end; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            text.append("\\x");
            text.push_back(hex[byte >> 4]);
            text.push_back(hex[byte & 0x0f]);
        }
    }
    return text;
}
