#!/usr/bin/env bash
# The service's resident memory idle, with 20 formatted vaults mounted (each with a file written
# and read back), right after all were dismounted and a few seconds later. One line of figures.
#
#   sudo bench/service_memory_bench.sh        # needs root, /dev/fuse, ntfs-3g
#
# Builds in Release under build-bench-vault/ (shared with vault_fs_bench.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench-vault}

die() { echo "service_memory_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (mounts)"
[ -w /dev/fuse ] || die "needs /dev/fuse"
command -v mkntfs >/dev/null || die "needs mkntfs (ntfs-3g)"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOCKBIN_CHECKED=OFF \
    -DLOCKBIN_GUI=OFF >/dev/null
cmake --build "$BUILD" --target e2e_tests >/dev/null
"$BUILD/tests/e2e/e2e_tests" --gtest_also_run_disabled_tests \
    --gtest_filter='VaultBench.DISABLED_MemoryOfTwentyVaultsMountedAndDismounted' 2>/dev/null |
    grep '^service memory'
