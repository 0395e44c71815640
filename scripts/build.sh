#!/usr/bin/env bash
# Builds the launcher, the extraction tool, the tests and the benchmark programs into build/
# (binaries in build/bin/), with the compile database that scripts/lint.sh gives clang-tidy.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DNEMBRAL_BUILD_BENCH=ON -DNEMBRAL_TEST_VENDOR_ENV=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
