#!/usr/bin/env bash
# Builds the control-handler fuzz target with clang (libFuzzer + AddressSanitizer) in its own
# build folder and runs it for a bounded time.
#   tests/fuzz/run_control_fuzz.sh [seconds]    (default 120)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds="${1:-120}"
build="$root/build-fuzz"
flags="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g -O1"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$flags" -DLOCKBIN_TESTS=OFF -DLOCKBIN_GUI=OFF -DLOCKBIN_BENCH=OFF \
    -DLOCKBIN_WERROR=OFF >/dev/null
cmake --build "$build" --target driver >/dev/null
clang++ -std=c++20 -fsanitize=fuzzer,address -fno-omit-frame-pointer -g -O1 \
    -DLOCKBIN_CHECKED=1 -DDBG=1 \
    -I"$root/platform/ntos/include" -I"$root/library/drvcomm" \
    -I"$root/core/driver/zelvirdk" -I"$root/core/driver/zelvirdk/include" \
    "$root/tests/fuzz/control_fuzz.cpp" \
    "$build/core/driver/zelvirdk/libdriver.a" "$build/library/drvcomm/libdrvcomm.a" \
    "$build/platform/ntos/libntos.a" "$build/library/drvcomm/libdrvcomm.a" \
    "$build/platform/hostns/libhostns.a" $(pkg-config --libs fuse3) -lpthread \
    -o "$build/control_fuzz"
corpus="$build/control_corpus"
mkdir -p "$corpus"
# Seeds: every known code with the lengths the protocol wants.
for n in 0 1 2 3 4 5 6 7 8 9 10 11; do
    printf "\\x$(printf %02x $n)\\x28\\x02\\x28\\x04" >"$corpus/seed$n"
done
# The driver traces every configuration change; -close_fd_mask keeps its output out of the run.
"$build/control_fuzz" -max_total_time="$seconds" -close_fd_mask=3 -timeout=10 -max_len=2100 -len_control=0 \
    -rss_limit_mb=4096 "$corpus"
