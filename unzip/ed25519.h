#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Ed25519 signatures by the vendor's key, checked the same way by the extraction tool (package
// signatures) and the launcher (release statements), with OpenSSL's libcrypto.

inline constexpr std::size_t kEd25519SignatureBytes = 64;

enum class Ed25519Check {
    Good,
    BadSignature,  // not made with this key over these bytes
    NotAKey,       // the PEM text is not an Ed25519 public key
    Unavailable,   // libcrypto could not set up the check
};

// Whether `publicKeyPem` is an Ed25519 public key in PEM.
bool isEd25519PublicKey(std::string_view publicKeyPem);

// Checks the 64-byte `signature` of `message` against the Ed25519 public key `publicKeyPem`.
Ed25519Check checkEd25519(std::string_view publicKeyPem, std::string_view signature, std::string_view message);

// Decodes standard base64 with "=" padding, refusing anything else: other characters, missing
// or misplaced padding, white space, and bits set beyond the last whole byte (so that each
// byte string has exactly one accepted text). False when `text` is not such base64.
bool decodeCanonicalBase64(std::string_view text, std::string &bytes);
