#include "tools/unzip/entrycheck.h"

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool looksAbsolute(std::string_view path)
{
    if (!path.empty() && isSeparator(path.front()))
        return true;
    // "C:", "C:\x" and "C:x" all depend on a drive rather than on the extraction directory.
    return path.size() >= 2 && path[1] == ':';
}

} // namespace

std::vector<std::string> pathParts(std::string_view path)
{
    std::vector<std::string> parts;
    std::string current;
    auto flush = [&] {
        if (!current.empty() && current != ".")
            parts.push_back(current);
        current.clear();
    };
    for (char c : path) {
        if (isSeparator(c))
            flush();
        else
            current.push_back(c);
    }
    flush();
    return parts;
}

std::string entryPathProblem(std::string_view path)
{
    if (looksAbsolute(path))
        return "absolute path";
    const std::vector<std::string> parts = pathParts(path);
    if (parts.empty())
        return "empty name";
    for (const std::string &part : parts) {
        if (part == "..")
            return "name contains \"..\"";
    }
    if (parts.size() > kMaxEntryDepth)
        return "name nested more than " + std::to_string(kMaxEntryDepth) + " levels deep";
    return {};
}

std::string linkTargetProblem(std::string_view linkPath, std::string_view target)
{
    if (target.empty())
        return "link with an empty target";
    if (looksAbsolute(target))
        return "link to an absolute path";

    // Depth of the directory that holds the link, counted from the extraction directory.
    const std::vector<std::string> linkParts = pathParts(linkPath);
    long depth = linkParts.empty() ? 0 : static_cast<long>(linkParts.size()) - 1;

    bool leadingRun = true;
    for (const std::string &part : pathParts(target)) {
        if (part == "..") {
            if (!leadingRun)
                return "link target with \"..\" after a name";
            if (--depth < 0)
                return "link pointing outside the extraction directory";
        } else {
            leadingRun = false;
        }
    }
    return {};
}
