# Sourced by bench/run and bench/compare, which run from the top of the tree: building the
# benchmarks, running one quietly, the scratch folder, and the slow share (tests/slowfs).
# shellcheck shell=sh

# bench_build SOURCE BUILD [CMAKE OPTION...]: configures BUILD from the tree at SOURCE with the
# benchmarks on and builds them, with the share benchmark and slowfs where that tree has them (an
# older commit may lack either). The log is BUILD/bench-build.log, shown if the build fails.
bench_build() {
    bench_source=$1 bench_dir=$2
    shift 2
    mkdir -p "$bench_dir"
    echo "building $bench_dir..." >&2
    if ! cmake -S "$bench_source" -B "$bench_dir" -G Ninja "$@" -DMIRUTEKA_BENCH=ON \
        >"$bench_dir/bench-build.log" 2>&1; then
        cat "$bench_dir/bench-build.log" >&2
        exit 1
    fi
    bench_targets=miruteka_bench
    for bench_target in miruteka_share_bench slowfs; do
        ! grep -q "^build $bench_target:" "$bench_dir/build.ninja" ||
            bench_targets="$bench_targets $bench_target"
    done
    # shellcheck disable=SC2086 # a list of targets
    if ! cmake --build "$bench_dir" -j "$(nproc)" --target $bench_targets \
        >>"$bench_dir/bench-build.log" 2>&1; then
        cat "$bench_dir/bench-build.log" >&2
        exit 1
    fi
}

# bench_quiet LOG PROGRAM [ARGUMENT...]: runs a benchmark on the offscreen platform with its
# output in LOG, and ends the script with that output if it fails.
bench_quiet() {
    bench_log=$1
    shift
    QT_QPA_PLATFORM=offscreen "$@" >"$bench_log" 2>&1 || { cat "$bench_log" >&2; exit 1; }
}

# bench_scratch: makes the scratch folder ($scratch), removed at the exit with the share unmounted.
bench_scratch() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/miruteka-bench.XXXXXX")
    trap 'bench_unmount_share; rm -rf "$scratch"' EXIT
    trap 'exit 130' INT TERM
}

# bench_can_share SLOWFS: whether the share can be mounted here; says why not where it cannot.
bench_can_share() {
    [ -x "$1" ] && [ "$(id -u)" -eq 0 ] && [ -w /dev/fuse ] && return 0
    echo
    echo "share rows skipped: they need tests/slowfs built (libfuse3-dev), root and /dev/fuse"
    return 1
}

# bench_mount_share SLOWFS FILES DELAY_US LOG [NAME]: serves FILES synthetic files (f000000.bin,
# ...) in $scratch/NAME (share by default), each request answered after DELAY_US microseconds,
# until bench_unmount_share, which ends every share mounted; $share_pid is the server's.
share_pid=""
share_pids=""
share_names=""
bench_mount_share() {
    bench_point="$scratch/${5:-share}"
    mkdir -p "$bench_point"
    "$1" "$bench_point" -f --files="$2" --delay-us="$3" 2>"$4" &
    share_pid=$!
    share_pids="$share_pids $share_pid"
    share_names="$share_names ${5:-share}"
    for _ in $(seq 100); do [ -e "$bench_point/f000000.bin" ] && return 0; sleep 0.1; done
    cat "$4" >&2
    exit 1
}

# A server left stopped by a benchmark that failed is continued first: a stopped process would
# take the signal that ends it only once continued, and the wait for it would never end.
bench_unmount_share() {
    for bench_name in $share_names; do
        fusermount3 -u -z "$scratch/$bench_name" 2>/dev/null || true
    done
    for bench_pid in $share_pids; do
        kill -CONT "$bench_pid" 2>/dev/null || true
        kill "$bench_pid" 2>/dev/null || true
        wait "$bench_pid" 2>/dev/null || true
    done
    share_pid="" share_pids="" share_names=""
}

bench_load() { cut -d' ' -f1 /proc/loadavg; }
