#!/usr/bin/env bash
# Builds and runs every test: the optimised build, then the sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer).  Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in release asan; do
  echo "=== $preset build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
