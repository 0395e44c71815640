#pragma once

#include "unzip/archive.h"
#include "unzip/ed25519.h"  // decodeCanonicalBase64, for the signature's text

#include <string>
#include <string_view>

// The vendor's Ed25519 public key (PEM) that this extraction tool checks packages against, or
// empty when it was built without one: then packages are extracted unchecked. Set at build
// time only (CMake cache variable NEMBRAL_PACKAGE_PUBLIC_KEY); each build of the tool gets its
// own definition, generated from packagekey.cpp.in. Nothing at run time replaces or removes it.
std::string_view packagePublicKey();
// The vendor's next key, accepted beside the first so that a vendor can move to a new key pair
// without stranding tools in the field; empty when there is none (NEMBRAL_PACKAGE_NEXT_PUBLIC_KEY).
std::string_view packageNextPublicKey();

// Package signatures. A signed package carries, as its zip archive comment (the comment of the
// end of central directory record), exactly
//
//     nembral-sig-ed25519:<standard padded base64 of a 64-byte Ed25519 signature>
//
// The signature is pure Ed25519 over the 64-byte SHA-512 digest of the archive's bytes from
// the start up to, not including, the comment; the record's comment-length field, part of
// those bytes, already holds the comment's length. Signing a digest rather than the archive
// keeps the check to one streaming read: the archive is never held in memory.
//
// The comment is the only part of the file outside the signed bytes, and it must reach
// exactly to the end of the file, so nothing unsigned can be added before, inside or after
// the archive.

inline constexpr std::string_view kSignaturePrefix = "nembral-sig-ed25519:";

// Whether the archive `file` carries a valid signature by the Ed25519 public key
// `publicKeyPem`; if not, it fails with why, as one line beginning with the archive's name as
// given. Reads at offsets of its own: the last 64 KiB + 22 bytes to find the
// comment, then the signed bytes once from start to end. The size is the one the file had
// when it was opened.
Result<> checkPackageSignature(const ArchiveFile &file, std::string_view publicKeyPem);
