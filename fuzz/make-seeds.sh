#!/usr/bin/env bash
# Makes the seed corpora in fuzz/corpus/ again (they are kept in the tree; run this only to
# change them). Packages come from tools/make-package; the rest are written here.
set -euo pipefail
cd "$(dirname "$0")"
corpus=$PWD/corpus
scratch=$(mktemp -d "${TMPDIR:-/tmp}/nembral-seeds.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Packages as the vendor publishes them: deflated, stored, signed with a throw-away key.
../tools/make-package 1.0 "$scratch/deflated" >/dev/null
../tools/make-package --store 1.0 "$scratch/stored" >/dev/null
openssl genpkey -algorithm ed25519 -out "$scratch/key.pem" 2>/dev/null
../tools/make-package --sign-key "$scratch/key.pem" 1.0 "$scratch/signed" >/dev/null
cp "$scratch/deflated/nembral.zip" "$corpus/archive/package-deflated.zip"
cp "$scratch/stored/nembral.zip" "$corpus/archive/package-stored.zip"
cp "$scratch/signed/nembral.zip" "$corpus/archive/package-signed.zip"
cp "$scratch/signed/nembral.zip" "$corpus/signature/package-signed.zip"
cp "$scratch/deflated/nembral.zip" "$corpus/signature/package-unsigned.zip"

# A package with folders, links, modes and a name stored twice, written entry by entry.
python3 - "$corpus/archive/package-tree.zip" <<'PY'
import sys, warnings, zipfile

warnings.simplefilter("ignore")  # the name stored twice is meant

def entry(name, mode):
    info = zipfile.ZipInfo(name, (2026, 1, 2, 3, 4, 6))
    info.external_attr = mode << 16
    info.create_system = 3  # Unix: the mode is read from the external attributes
    return info

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr(entry("nembral/", 0o040755), b"")
    z.writestr(entry("nembral/version.txt", 0o100644), b"1.0\n")
    z.writestr(entry("nembral/Nembrals.exe", 0o100755), b"#!/bin/sh\necho Nembral\n")
    z.writestr(entry("nembral/lib/", 0o040700), b"")
    z.writestr(entry("nembral/lib/libdemo.so.1", 0o100644), b"\x7fELF" + bytes(range(64)))
    z.writestr(entry("nembral/lib/libdemo.so", 0o120777), b"libdemo.so.1")
    z.writestr(entry("nembral/bin/start", 0o120777), b"../Nembrals.exe")
    z.writestr(entry("nembral/./data//x.txt", 0o100600), b"data")  # "." and empty parts
    z.writestr(entry("nembral/version.txt", 0o100644), b"1.1\n")
PY

# Signature comments on their own, as base64 texts.
printf 'AAAA' > "$corpus/signature/base64-short.txt"
tail -c 88 "$scratch/signed/nembral.zip" > "$corpus/signature/base64-signature.txt"

# Version files: the published line first, then the installed file.
printf '1.0\n1.0\n' > "$corpus/versionline/same.txt"
printf '1.1\r\n1.0\n' > "$corpus/versionline/crlf.txt"
printf ' 2.0\t\v\f\n2 . 0\n' > "$corpus/versionline/spaces.txt"
printf '1.0-\xce\xb2\xc2\x85\xff\n\x1b[31m1.0\x7f\n' > "$corpus/versionline/controls.txt"
{ head -c 5000 /dev/zero | tr '\0' 'v'; printf '\n1.0\n'; } > "$corpus/versionline/long-line.txt"
