#include "platform/log.h"

#include <cstdio>
#include <mutex>
#include <string>

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
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    const std::lock_guard<std::mutex> lock(logMutex());
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
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
