#include "workflow/releasestatement.h"

#include "unzip/ed25519.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

constexpr std::size_t kReadBlock = 1024 * 1024;

struct DigestDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct FileCloser {
    void operator()(std::FILE *file) const { (void)std::fclose(file); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;
using File = std::unique_ptr<std::FILE, FileCloser>;

// Decimal without sign or leading zeros, within 64 bits.
std::optional<std::uint64_t> parseDecimal(std::string_view text)
{
    if (text.empty() || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool parseSha256(std::string_view text, std::array<unsigned char, 32> &digest)
{
    if (text.size() != digest.size() * 2)
        return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        unsigned value = 0;
        for (const char c : text.substr(i * 2, 2)) {
            if (c >= '0' && c <= '9')
                value = value * 16 + static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value = value * 16 + static_cast<unsigned>(c - 'a' + 10);
            else
                return false;
        }
        digest[i] = static_cast<unsigned char>(value);
    }
    return true;
}

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    // Days since 1970-01-01 in the proleptic Gregorian calendar (Howard Hinnant's algorithm).
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(std::int64_t year, unsigned month)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The fields of line 2 after the prefix, each "name=value", in order.
struct Fields {
    std::string_view sequence, expires, size, sha256, signature;
};

bool splitFields(std::string_view text, Fields &fields)
{
    const std::pair<std::string_view, std::string_view *> expected[] = {
        {"seq=", &fields.sequence}, {"expires=", &fields.expires}, {"size=", &fields.size}, {"sha256=", &fields.sha256}, {"ed25519=", &fields.signature}};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto &[name, value] = expected[i];
        if (text.substr(0, name.size()) != name)
            return false;
        text.remove_prefix(name.size());
        const bool last = i + 1 == std::size(expected);
        const std::size_t space = text.find(' ');
        if (last != (space == std::string_view::npos))
            return false;
        *value = text.substr(0, space);
        text.remove_prefix(last ? text.size() : space + 1);
    }
    return true;
}

std::string hexOf(const unsigned char *bytes, std::size_t size)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0xF]);
    }
    return text;
}

}  // namespace

std::string utcTimeText(std::int64_t seconds)
{
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    // The inverse of daysFromCivil.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    (void)std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year), month, day,
                        static_cast<long long>(inDay / 3600), static_cast<long long>(inDay / 60 % 60),
                        static_cast<long long>(inDay % 60));
    return text;
}

std::optional<std::int64_t> parseUtcTime(std::string_view text)
{
    // YYYY-MM-DDTHH:MM:SSZ, nothing left out and nothing added.
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i])
            return std::nullopt;
    }
    const auto number = [text](std::size_t at, std::size_t length) {
        unsigned value = 0;
        for (const char c : text.substr(at, length))
            value = value * 10 + static_cast<unsigned>(c - '0');
        return value;
    };
    const std::int64_t year = number(0, 4);
    const unsigned month = number(5, 2), day = number(8, 2);
    const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23
        || minute > 59 || second > 59)
        return std::nullopt;
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

Result<ReleaseStatement> checkReleaseStatement(std::string_view versionFile, const std::vector<std::string> &publicKeysPem,
                                               std::int64_t now, std::uint64_t highestAccepted)
{
    const auto refuse = [](std::string problem) { return Failure{std::move(problem)}; };

    const std::size_t firstEnd = versionFile.find('\n');
    if (firstEnd == std::string_view::npos || firstEnd + 1 == versionFile.size())
        return refuse("the version file has no second line");
    std::string_view line2 = versionFile.substr(firstEnd + 1);
    const std::size_t secondEnd = line2.find('\n');
    if (secondEnd != std::string_view::npos) {
        if (secondEnd + 1 != line2.size())
            return refuse("the version file has more than two lines");
        line2 = line2.substr(0, secondEnd);
    }
    if (line2.size() > kMaxReleaseStatementBytes)
        return refuse("line 2 is " + std::to_string(line2.size()) + " bytes long, more than "
                      + std::to_string(kMaxReleaseStatementBytes));
    if (line2.substr(0, kReleaseStatementPrefix.size()) != kReleaseStatementPrefix)
        return refuse("line 2 does not begin with \"" + std::string(kReleaseStatementPrefix) + "\"");

    Fields fields;
    if (!splitFields(line2.substr(kReleaseStatementPrefix.size()), fields))
        return refuse("line 2 does not hold the fields seq, expires, size, sha256 and ed25519, in that order");
    ReleaseStatement statement;
    const auto sequence = parseDecimal(fields.sequence);
    const auto expires = parseUtcTime(fields.expires);
    const auto size = parseDecimal(fields.size);
    std::string signature;
    if (!sequence)
        return refuse("seq is not a decimal number");
    if (!expires)
        return refuse("expires is not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ");
    if (!size)
        return refuse("size is not a decimal number");
    if (!parseSha256(fields.sha256, statement.packageSha256))
        return refuse("sha256 is not 64 lowercase hex digits");
    if (!decodeCanonicalBase64(fields.signature, signature) || signature.size() != kEd25519SignatureBytes)
        return refuse("ed25519 is not the padded base64 of a 64-byte signature");
    statement.sequence = *sequence;
    statement.expires = *expires;
    statement.packageSize = *size;

    // Signed: line 1, its line feed, and line 2 up to the space before "ed25519=".
    const std::size_t signedLength = firstEnd + 1 + line2.size() - fields.signature.size() - std::strlen(" ed25519=");
    const std::string_view message = versionFile.substr(0, signedLength);
    if (std::none_of(publicKeysPem.begin(), publicKeysPem.end(),
                     [&](const std::string &pem) { return checkEd25519(pem, signature, message) == Ed25519Check::Good; }))
        return refuse("the signature was not made with a vendor key built into this launcher, or the file was changed after signing");

    // Checked only once the numbers are known to be the vendor's.
    if (now > statement.expires + kReleaseClockSkewSeconds)
        return refuse("it expired at " + utcTimeText(statement.expires) + " (now " + utcTimeText(now) + ")");
    if (statement.sequence < highestAccepted)
        return refuse("its sequence " + std::to_string(statement.sequence) + " is lower than "
                      + std::to_string(highestAccepted) + ", accepted here before (a rollback)");
    return statement;
}

Result<> packageMatches(const std::string &path, const ReleaseStatement &statement)
{
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return Failure{"cannot open \"" + path + "\": " + std::strerror(errno)};
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return Failure{"cannot start SHA-256"};
    std::vector<unsigned char> block(kReadBlock);
    std::uint64_t size = 0;
    for (;;) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), file.get());
        if (n == 0)
            break;
        size += n;
        // More than the statement names is a mismatch already; no need to read the rest.
        if (size > statement.packageSize)
            break;
        if (EVP_DigestUpdate(ctx.get(), block.data(), n) != 1)
            return Failure{"SHA-256 failed"};
    }
    if (std::ferror(file.get()))
        return Failure{"cannot read \"" + path + "\""};
    if (size > statement.packageSize)
        return Failure{"the package is longer than the " + std::to_string(statement.packageSize)
                       + " bytes the release statement says"};
    if (size < statement.packageSize)
        return Failure{"the package is " + std::to_string(size) + " bytes long, the release statement says "
                       + std::to_string(statement.packageSize)};
    unsigned char digest[32];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != sizeof digest)
        return Failure{"SHA-256 failed"};
    if (std::memcmp(digest, statement.packageSha256.data(), sizeof digest) != 0)
        return Failure{"the package's SHA-256 is " + hexOf(digest, sizeof digest) + ", the release statement says "
                       + hexOf(statement.packageSha256.data(), statement.packageSha256.size())};
    return {};
}

std::uint64_t readHighestSequence(const std::string &path)
{
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return 0;
    char text[32];
    const std::size_t n = std::fread(text, 1, sizeof text, file.get());
    std::string_view line(text, n);
    if (line.empty() || line.back() != '\n')
        return 0;
    line.remove_suffix(1);
    return parseDecimal(line).value_or(0);
}

Result<> storeHighestSequence(const std::string &path, std::uint64_t sequence)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target(path);
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), error);
    if (error)
        return Failure{"cannot make the folder of \"" + path + "\": " + error.message()};
    const std::string temporary = path + ".new";
    const std::string text = std::to_string(sequence) + "\n";
    {
        File file(std::fopen(temporary.c_str(), "wb"));
        if (!file)
            return Failure{"cannot write \"" + temporary + "\": " + std::strerror(errno)};
        const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size()
                             && std::fflush(file.get()) == 0;
        if (std::fclose(file.release()) != 0 || !written) {
            fs::remove(temporary, error);
            return Failure{"cannot write \"" + temporary + "\""};
        }
    }
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return Failure{"cannot rename \"" + temporary + "\" to \"" + path + "\": " + error.message()};
    }
    return {};
}
