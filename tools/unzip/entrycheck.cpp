#include "tools/unzip/entrycheck.h"

#include <cstdint>

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool looksAbsolute(std::string_view path)
{
    if (!path.empty() && isSeparator(path.front()))
        return true;
    // "C:", "C:\x" and "C:x" all depend on a drive rather than on the extraction directory.
    return path.size() >= 2 && path[1] == ':';
}

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperAscii(a[i]) != upperAscii(b[i]))
            return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Windows opens a device, not a file, for these names, whatever extension follows and with
// spaces before it ("NUL.txt", "con .log"); COM and LPT also with a superscript 1, 2 or 3.
bool isReservedDeviceName(std::string_view part)
{
    std::string_view base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (equalsIgnoringAsciiCase(base, device))
            return true;
    }
    if (base.size() < 4 || !(equalsIgnoringAsciiCase(base.substr(0, 3), "COM") || equalsIgnoringAsciiCase(base.substr(0, 3), "LPT")))
        return false;
    const std::string_view number = base.substr(3);
    return (number.size() == 1 && isDigit(number[0]))
           || number == "\xc2\xb9" || number == "\xc2\xb2" || number == "\xc2\xb3";
}

// The form of the short (8.3) names Windows gives long names: up to 8 characters ending in
// "~" and a number, then an extension of up to 3. Such a name can stand for another folder
// of the tree ("NEMBRA~1" for "nembral-data") and reach it under a name no check has seen.
bool looksLikeShortName(std::string_view part)
{
    const std::size_t dot = part.find('.');
    const std::string_view base = part.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : part.substr(dot + 1);
    const std::size_t tilde = base.rfind('~');
    if (tilde == std::string_view::npos || tilde == 0 || tilde + 1 == base.size() || base.size() > 8)
        return false;
    for (std::size_t i = tilde + 1; i < base.size(); ++i) {
        if (!isDigit(base[i]))
            return false;
    }
    return extension.size() <= 3 && extension.find('.') == std::string_view::npos;
}

// Empty when one part of a name is safe on Windows too.
std::string partProblem(std::string_view part)
{
    for (const char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ':')
            return "name with ':' (on Windows a drive or an alternate data stream)";
        if (byte < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
            return "name with a character that Windows does not allow in file names";
    }
    if (part.back() == '.' || part.back() == ' ')
        return "name ending in a dot or a space, which Windows drops";
    if (isReservedDeviceName(part))
        return "reserved device name on Windows ('" + std::string(part) + "')";
    if (looksLikeShortName(part))
        return "name in the form of a Windows short name ('" + std::string(part) + "')";
    return {};
}

// Below U+0800: one or two bytes.
void appendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The capital of a lower-case letter of the scripts most names are written in.
std::uint32_t upperCodePoint(std::uint32_t c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        || (c >= 0x430 && c <= 0x44F))
        return c - 0x20;
    if (c == 0xFF)
        return 0x178;
    if (c == 0x3C2)  // final sigma
        return 0x3A3;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    // Latin Extended-A: pairs of capital and small letter, the capital first, except in
    // U+0139-U+0148 and U+0179-U+017E, where the small letter comes first.
    if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) && (c & 1) == 1)
        return c - 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && (c & 1) == 0)
        return c - 1;
    return c;
}

}  // namespace

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
    for (const std::string &part : parts) {
        if (std::string why = partProblem(part); !why.empty())
            return why;
    }
    return {};
}

std::string caseFolded(std::string_view name)
{
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        // Two-byte sequences hold every letter folded here besides ASCII; anything else
        // (longer sequences, stray bytes) is kept as it is.
        if (lead >= 0xC2 && lead <= 0xDF && i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) {
            appendUtf8(folded, upperCodePoint(((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(name[i + 1]) & 0x3Fu)));
            i += 2;
        } else {
            folded.push_back(upperAscii(name[i]));
            ++i;
        }
    }
    return folded;
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
