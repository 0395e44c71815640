#include "platform/log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/brokenpipe.h"

namespace {

std::mutex &logMutex()
{
    static std::mutex m;
    return m;
}

void writeLine(std::FILE *stream, std::string_view text)
{
    // Text and end of line are put together first so the stream sees one write of a whole
    // line; the lock keeps the GUI thread and the download worker from interleaving.
    std::string line;
    if (text.size() > kMaxLogLineBytes) {
        const std::string marker = " [... " + std::to_string(text.size() - kMaxLogLineBytes) + " more bytes not shown]";
        line.reserve(kMaxLogLineBytes + marker.size() + 1);
        line.append(text.substr(0, kMaxLogLineBytes));
        line.append(marker);
    } else {
        line.reserve(text.size() + 1);
        line.append(text);
    }
    line.push_back('\n');
    const std::lock_guard<std::mutex> lock(logMutex());
    const BrokenPipeGuard guard;
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
    // A failed write (the reader of a pipe has gone) must not stick to the stream: the next
    // line is tried afresh.
    if (std::ferror(stream))
        std::clearerr(stream);
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

std::string escapedForLog(std::string_view bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7e) {
            text.push_back(c);
        } else {
            text.append("\\x");
            text.push_back(hex[byte >> 4]);
            text.push_back(hex[byte & 0x0f]);
        }
    }
    return text;
}
