#!/usr/bin/env bash
# Throughput of a volume's block file (FUSE disk bridge -> driver -> encrypted container) against
# a plain file on the same disk and a bare FUSE passthrough over the same container, all in one
# run: sequential 1 MiB writes and reads (direct and buffered) and 4 KiB random reads and writes.
#
#   bench/blockfile_bench.sh            # needs root, /dev/fuse and fio
#   BENCH_DIR=/srv/tmp SIZE_MIB=2048 RUNTIME=20 bench/blockfile_bench.sh
#
# Builds what it needs in Release under build-bench/. Targets: sequential >= 50% of the plain
# file, 4 KiB random >= 70% of the passthrough.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
WORK=${BENCH_DIR:-/var/tmp/lockbin-blockfile-bench}
SIZE_MIB=${SIZE_MIB:-1024}
RUNTIME=${RUNTIME:-10}

die() { echo "blockfile_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (FUSE mounts, dropping caches)"
[ -w /dev/fuse ] || die "needs /dev/fuse"
command -v fio >/dev/null || die "needs fio (apt-get install fio)"
command -v python3 >/dev/null || die "needs python3"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLOCKBIN_CHECKED=OFF \
    -DLOCKBIN_GUI=OFF -DLOCKBIN_TESTS=OFF -DLOCKBIN_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target driver drvcomm ntos >/dev/null

# Leftovers of an interrupted run: its mounts first, then its files.
for m in $(awk -v w="$WORK/" 'index($2, w) == 1 {print $2}' /proc/mounts); do umount -l "$m"; done
rm -rf "$WORK"
mkdir -p "$WORK/disks" "$WORK/passthrough" "$WORK/bin"

# The volume host: the real driver and one encrypted volume over a container in $WORK, published
# by the disk bridge; it holds until its standard input closes.
cat >"$WORK/bin/host.cpp" <<'CPP'
#include "volume_test_helper.h"
#include "bridge_disk.h"
#include <cstdio>
#include <iostream>
int main(int argc, char** argv)
{
    lockbin_test::volume_options options;
    options.letter = u'Z';
    options.disk_size = std::stoll(argv[2]) << 20;
    lockbin_test::test_volume volume(options);
    if (!volume.ok())
        return 1;
    if (ntos::detail::bridge_disk_start(argv[3]) != STATUS_SUCCESS)
        return 2;
    ntos::detail::bridge_disk_device_created_for(volume.device(), 0, 0);
    std::printf("%s\n%s\n", ntos::detail::bridge_disk_file_path(volume.device()).c_str(),
                volume.container().c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    ntos::detail::bridge_disk_device_deleted(volume.device());
    ntos::detail::bridge_disk_stop();
    return 0;
}
CPP
INCLUDES=(-I"$ROOT/platform/ntos/include" -I"$ROOT/platform/ntos/src" -I"$ROOT/core/driver/zelvirdk"
          -I"$ROOT/core/driver/zelvirdk/include" -I"$ROOT/library/drvcomm" -I"$ROOT/tests/support")
LIBS=("$BUILD/core/driver/zelvirdk/libdriver.a" "$BUILD/library/drvcomm/libdrvcomm.a"
      "$BUILD/platform/ntos/libntos.a")
g++ -std=c++20 -O2 "${INCLUDES[@]}" "$WORK/bin/host.cpp" -o "$WORK/bin/host" \
    -Wl,--start-group "${LIBS[@]}" -Wl,--end-group $(pkg-config --libs fuse3) -lpthread

# The bare passthrough: one file, O_DIRECT through an aligned buffer, nothing else.
cat >"$WORK/bin/passthrough.c" <<'C'
#define _GNU_SOURCE
/* Bare FUSE passthrough of one file, for comparison: "/file" is the backing file, read and
   written with O_DIRECT through an aligned bounce buffer, one request at a time per thread. */
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int backing = -1;
static off_t backing_size;

static void fill(struct stat *st, fuse_ino_t ino)
{
    memset(st, 0, sizeof(*st));
    st->st_ino = ino;
    if (ino == 1) { st->st_mode = S_IFDIR | 0755; st->st_nlink = 2; }
    else { st->st_mode = S_IFREG | 0600; st->st_nlink = 1; st->st_size = backing_size; }
}
static void *bounce(size_t size)
{
    static __thread void *buf; static __thread size_t have;
    if (have < size) { free(buf); if (posix_memalign(&buf, 4096, size)) return NULL; have = size; }
    return buf;
}
static void pt_init(void *u, struct fuse_conn_info *c) { (void)u; c->max_write = 1 << 20; c->max_readahead = 1 << 20; }
static void pt_lookup(fuse_req_t r, fuse_ino_t p, const char *n)
{
    struct fuse_entry_param e; memset(&e, 0, sizeof(e));
    if (p != 1 || strcmp(n, "file")) { fuse_reply_err(r, ENOENT); return; }
    e.ino = 2; e.attr_timeout = e.entry_timeout = 1.0; fill(&e.attr, 2); fuse_reply_entry(r, &e);
}
static void pt_getattr(fuse_req_t r, fuse_ino_t i, struct fuse_file_info *f)
{ struct stat st; (void)f; fill(&st, i); fuse_reply_attr(r, &st, 1.0); }
static void pt_open(fuse_req_t r, fuse_ino_t i, struct fuse_file_info *f)
{ (void)i; f->keep_cache = 1; fuse_reply_open(r, f); }
static void pt_read(fuse_req_t r, fuse_ino_t i, size_t size, off_t off, struct fuse_file_info *f)
{
    (void)i; (void)f; void *b = bounce(size);
    ssize_t n = pread(backing, b, size, off);
    if (n < 0) fuse_reply_err(r, errno); else fuse_reply_buf(r, b, (size_t)n);
}
static void pt_write(fuse_req_t r, fuse_ino_t i, const char *d, size_t size, off_t off, struct fuse_file_info *f)
{
    (void)i; (void)f; void *b = bounce(size); memcpy(b, d, size);
    ssize_t n = pwrite(backing, b, size, off);
    if (n < 0) fuse_reply_err(r, errno); else fuse_reply_write(r, (size_t)n);
}
static void pt_release(fuse_req_t r, fuse_ino_t i, struct fuse_file_info *f) { (void)i; (void)f; fuse_reply_err(r, 0); }
static void pt_fsync(fuse_req_t r, fuse_ino_t i, int d, struct fuse_file_info *f) { (void)i; (void)d; (void)f; fuse_reply_err(r, 0); }
static void pt_readdir(fuse_req_t r, fuse_ino_t i, size_t size, off_t off, struct fuse_file_info *f)
{
    (void)f; char buf[512]; size_t used = 0; struct stat st; const char *names[] = {".", "..", "file"};
    if (i != 1) { fuse_reply_err(r, ENOTDIR); return; }
    for (off_t k = off; k < 3; k++) {
        fill(&st, k == 2 ? 2 : 1);
        size_t need = fuse_add_direntry(r, buf + used, sizeof(buf) - used, names[k], &st, k + 1);
        if (need > size - used || need > sizeof(buf) - used) break;
        used += need;
    }
    fuse_reply_buf(r, buf, used);
}
int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    backing = open(argv[1], O_RDWR | O_DIRECT);
    if (backing < 0) return 1;
    struct stat st; fstat(backing, &st); backing_size = st.st_size;
    struct fuse_lowlevel_ops ops; memset(&ops, 0, sizeof(ops));
    ops.init = pt_init; ops.lookup = pt_lookup; ops.getattr = pt_getattr; ops.open = pt_open;
    ops.read = pt_read; ops.write = pt_write; ops.release = pt_release; ops.fsync = pt_fsync;
    ops.readdir = pt_readdir;
    char *fargv[] = {argv[0], "-o", "fsname=passthrough", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fargv);
    struct fuse_session *se = fuse_session_new(&args, &ops, sizeof(ops), NULL);
    if (!se || fuse_session_mount(se, argv[2])) return 1;
    fuse_set_signal_handlers(se);
    struct fuse_loop_config *cfg = fuse_loop_cfg_create();
    int rc = fuse_session_loop_mt(se, cfg);
    fuse_loop_cfg_destroy(cfg);
    fuse_remove_signal_handlers(se);
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    return rc ? 1 : 0;
}
C
gcc -O2 -o "$WORK/bin/passthrough" "$WORK/bin/passthrough.c" $(pkg-config --cflags --libs fuse3)

exec 3> >("$WORK/bin/host" "$WORK" "$SIZE_MIB" "$WORK/disks" >"$WORK/host.out" 2>"$WORK/host.err")
for _ in $(seq 100); do [ -s "$WORK/host.out" ] && break; sleep 0.1; done
BLOCKFILE=$(sed -n 1p "$WORK/host.out")
CONTAINER=$(sed -n 2p "$WORK/host.out")
[ -n "$BLOCKFILE" ] || die "the volume host did not start: $(cat "$WORK/host.err")"
PLAIN="$WORK/plain"
dd if=/dev/zero of="$PLAIN" bs=1M count="$SIZE_MIB" status=none
# Touch every block of the volume once so that neither side measures a sparse first write.
dd if=/dev/zero of="$BLOCKFILE" bs=1M count="$SIZE_MIB" oflag=direct conv=notrunc status=none
"$WORK/bin/passthrough" "$CONTAINER" "$WORK/passthrough" &
PT_PID=$!
for _ in $(seq 50); do [ -e "$WORK/passthrough/file" ] && break; sleep 0.1; done
PASSFILE="$WORK/passthrough/file"

cleanup() {
    fusermount3 -u "$WORK/passthrough" 2>/dev/null || true
    kill "$PT_PID" 2>/dev/null || true
    exec 3>&- || true # the volume host unpublishes, unmounts and ends
    wait 2>/dev/null || true
    for m in $(awk -v w="$WORK/" 'index($2, w) == 1 {print $2}' /proc/mounts); do umount -l "$m"; done
}
trap cleanup EXIT

# fio_run FILE RW BS DIRECT -> MB/s for sequential, IOPS for random
fio_run() {
    local file=$1 rw=$2 bs=$3 direct=$4 extra=()
    sync; echo 3 >/proc/sys/vm/drop_caches
    case $rw in
        rand*) extra=(--runtime="$RUNTIME" --time_based --randrepeat=0) ;;
        write) [ "$direct" = 0 ] && extra=(--end_fsync=1) ;;
    esac
    fio --name=b --filename="$file" --rw="$rw" --bs="$bs" --size="${SIZE_MIB}M" --direct="$direct" \
        --ioengine=psync --invalidate=1 --output-format=json "${extra[@]}" 2>/dev/null |
        python3 -c '
import json, sys
job = json.load(sys.stdin)["jobs"][0]
side = job["write"] if job["write"]["io_bytes"] else job["read"]
print("%.0f" % (side["iops"] if sys.argv[1].startswith("rand") else side["bw_bytes"] / 1e6))' "$rw"
}

printf '%-28s %12s %12s %12s %9s %9s\n' "workload" "plain" "passthrough" "blockfile" "bf/plain" "bf/pass"
row() {
    local label=$1 rw=$2 bs=$3 direct=$4 unit=$5
    local p t b
    p=$(fio_run "$PLAIN" "$rw" "$bs" "$direct")
    t=$(fio_run "$PASSFILE" "$rw" "$bs" "$direct")
    b=$(fio_run "$BLOCKFILE" "$rw" "$bs" "$direct")
    printf '%-28s %12s %12s %12s %8.0f%% %8.0f%%\n' "$label ($unit)" "$p" "$t" "$b" \
        "$(python3 -c "print(100*$b/max($p,1))")" "$(python3 -c "print(100*$b/max($t,1))")"
}
row "seq write 1M direct" write 1M 1 MB/s
row "seq read 1M direct" read 1M 1 MB/s
row "seq write 1M buffered" write 1M 0 MB/s
row "seq read 1M buffered" read 1M 0 MB/s
row "rand read 4K direct" randread 4k 1 IOPS
row "rand write 4K direct" randwrite 4k 1 IOPS
echo "targets: sequential bf/plain >= 50%, 4 KiB random bf/pass >= 70%"
