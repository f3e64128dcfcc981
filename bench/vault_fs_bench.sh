#!/usr/bin/env bash
# File-system throughput inside a mounted vault against plain ntfs-3g over an image file of the
# same size and gocryptfs, all on the same disk: a 1 GiB file written (buffered, then fsync) and
# read back after dropping the caches, on a 2 GiB and an 8 GiB vault.
#
#   bench/vault_fs_bench.sh                      # needs root, /dev/fuse, ntfs-3g, gocryptfs
#   BENCH_DIR=/srv/tmp BENCH_VAULT_GIB="2" bench/vault_fs_bench.sh
#
# Target: the vault at 70% of plain ntfs-3g or better. Builds in Release under build-bench-vault/.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench-vault}
WORK=${BENCH_DIR:-/var/tmp/lockbin-vault-bench}
export BENCH_VAULT_GIB=${BENCH_VAULT_GIB:-2 8}

die() { echo "vault_fs_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (mounts, dropping caches, acting as users)"
[ -w /dev/fuse ] || die "needs /dev/fuse"
for tool in ntfs-3g mkntfs gocryptfs dd fincore; do
    command -v $tool >/dev/null || die "needs $tool"
done

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOCKBIN_CHECKED=OFF \
    -DLOCKBIN_GUI=OFF >/dev/null
cmake --build "$BUILD" --target e2e_tests >/dev/null

for m in $(awk -v w="$WORK/" 'index($2, w) == 1 {print $2}' /proc/mounts); do umount -l "$m"; done
rm -rf "$WORK"
mkdir -p "$WORK"

# MB/s of one dd: the command's wall time for 1024 MiB.
rate() {
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    python3 -c "print(f'{1024 / ($end - $start):.1f}')"
}
write_read() { # folder -> "write read"
    local w r
    w=$(rate dd if=/dev/zero of="$1/big" bs=1M count=1024 conv=fsync status=none)
    # A single drop right after the write can leave a FUSE file's pages resident.
    for _ in $(seq 20); do
        sync
        echo 3 >/proc/sys/vm/drop_caches
        [ "$(fincore --noheadings --output PAGES "$1/big")" -gt 0 ] || break
        sleep 0.2
    done
    r=$(rate dd if="$1/big" of=/dev/null bs=1M status=none)
    rm -f "$1/big"
    echo "$w $r"
}

declare -A plain_w plain_r
for gib in $BENCH_VAULT_GIB; do
    truncate -s "${gib}G" "$WORK/plain.img"
    mkntfs -Q -F -q "$WORK/plain.img" 2>/dev/null
    mkdir -p "$WORK/plain"
    ntfs-3g -o big_writes "$WORK/plain.img" "$WORK/plain"
    read -r plain_w[$gib] plain_r[$gib] < <(write_read "$WORK/plain")
    umount "$WORK/plain"
    rm -f "$WORK/plain.img"
    echo "plain ntfs-3g $gib GiB: write ${plain_w[$gib]} read ${plain_r[$gib]} MB/s"
done

mkdir -p "$WORK/gc.cipher" "$WORK/gc.plain"
echo bench >"$WORK/gc.pass"
gocryptfs -q -init -passfile "$WORK/gc.pass" "$WORK/gc.cipher" >/dev/null
gocryptfs -q -nosyslog -passfile "$WORK/gc.pass" "$WORK/gc.cipher" "$WORK/gc.plain"
read -r gc_w gc_r < <(write_read "$WORK/gc.plain")
umount "$WORK/gc.plain"
echo "gocryptfs: write $gc_w read $gc_r MB/s"

"$BUILD/tests/e2e/e2e_tests" --gtest_also_run_disabled_tests \
    --gtest_filter='VaultBench.*' 2>/dev/null | grep '^vault ' | while read -r _ gib _ _ w _ r; do
    ratio_w=$(python3 -c "print(f'{100 * $w / ${plain_w[$gib]}:.0f}')")
    ratio_r=$(python3 -c "print(f'{100 * $r / ${plain_r[$gib]}:.0f}')")
    echo "vault $gib GiB: write $w read $r MB/s ($ratio_w% / $ratio_r% of plain ntfs-3g)"
done
rm -rf "$WORK"
