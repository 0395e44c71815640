#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// The vendor's signed release statement: the second line of the published version file, which
// a launcher built with the vendor's package key trusts before it acts on the first. Qt-free.
//
//     nembral-release: seq=SEQUENCE expires=YYYY-MM-DDTHH:MM:SSZ size=BYTES sha256=HEX ed25519=BASE64
//
// One space between fields, in this order and nothing else on the line. SEQUENCE and BYTES are
// decimal without leading zeros; the expiry is UTC; HEX is the package's SHA-256 in 64
// lowercase hex digits; BASE64 is the padded standard base64 (88 characters) of a pure Ed25519
// signature over the exact bytes of line 1 (without its line feed), one line feed, and line 2 up
// to, not including, the space before "ed25519=". The file is line 1, a line feed, line 2 and at
// most one line feed after it; anything else is malformed.

inline constexpr std::string_view kReleaseStatementPrefix = "nembral-release: ";
// A real statement is about 280 bytes; a longer line is refused before it is parsed.
inline constexpr std::size_t kMaxReleaseStatementBytes = 1024;
// How far ahead of the vendor's clock a user's clock may be before a fresh statement is taken
// for an expired one. A clock that runs behind accepts an expired statement for longer: the
// expiry bounds a freeze only as well as the user's clock keeps time.
inline constexpr std::int64_t kReleaseClockSkewSeconds = 60 * 60;

struct ReleaseStatement {
    std::uint64_t sequence = 0;
    std::int64_t expires = 0;  // seconds since 1970-01-01T00:00:00Z
    std::uint64_t packageSize = 0;
    std::array<unsigned char, 32> packageSha256{};
};

// Checks the bytes of a downloaded version file against the vendor's public keys (Ed25519, PEM;
// any of them may have signed), the time `now` (seconds since the epoch, UTC) and the highest
// sequence this working folder has accepted before. Equal sequences are accepted (every run
// downloads the same statement again); lower ones are a rollback. The statement when it is
// trusted, otherwise one line saying why not.
Result<ReleaseStatement> checkReleaseStatement(std::string_view versionFile, const std::vector<std::string> &publicKeysPem,
                                               std::int64_t now, std::uint64_t highestAccepted);

// Whether the file at `path` is the package the statement names, and if not why not (size,
// then SHA-256). Reads the file once, in blocks.
Result<> packageMatches(const std::string &path, const ReleaseStatement &statement);

// The highest accepted sequence kept in the file at `path`: one decimal line. 0 when the file
// is missing, or when it does not hold such a line (a damaged file then protects no more than a
// missing one; whoever can write it can also replace the launcher's tools).
std::uint64_t readHighestSequence(const std::string &path);
// Replaces the file at `path` with `sequence` by writing a file beside it and renaming it over
// the old one, so a reader sees the old number or the new one; makes the folder if needed.
Result<> storeHighestSequence(const std::string &path, std::uint64_t sequence);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since the epoch, and back (nullopt unless exactly that
// form with a real date and time).
std::string utcTimeText(std::int64_t seconds);
std::optional<std::int64_t> parseUtcTime(std::string_view text);
