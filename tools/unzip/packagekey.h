#pragma once

#include <string_view>

// The vendor's Ed25519 public key (PEM) that this extraction tool checks packages against, or
// empty when it was built without one: then packages are extracted unchecked. Set at build
// time only (CMake cache variable NEMBRAL_PACKAGE_PUBLIC_KEY); each build of the tool gets its
// own definition, generated from packagekey.cpp.in. Nothing at run time replaces or removes it.
std::string_view packagePublicKey();

// The vendor's next key, accepted beside the first so that a vendor can move to a new key pair
// without stranding tools in the field; empty when there is none (NEMBRAL_PACKAGE_NEXT_PUBLIC_KEY).
std::string_view packageNextPublicKey();
