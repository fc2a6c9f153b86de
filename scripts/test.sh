#!/usr/bin/env bash
# Builds fwdeploy with its tests and runs the whole suite.
#
#   bash scripts/test.sh              native build in build/
#   bash scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   bash scripts/test.sh --armhf      32-bit ARM cross build run under qemu-user, in build-armhf/
#   bash scripts/test.sh --release    optimised as a distribution builds it (-O3), in build-release/
#   bash scripts/test.sh --all        all four, in that order
#
# JOBS (default 2) sets the parallelism of make and ctest. Exits non-zero when
# any build or test fails.
set -euo pipefail

cd "$(dirname "$0")/.."
readonly jobs="${JOBS:-2}"

usage() {
    sed -n '2,11s/^# \{0,1\}//p' "$0"
}

configure_and_build() {
    local dir=$1 build_type=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DFWDEPLOY_TESTS=ON -DFWDEPLOY_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
}

run_suite() {
    local dir=$1
    # A generous per-test limit: a hung child must fail the run, not stall it.
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

# The options are spelled out so that a build directory configured earlier with
# other settings comes back to what its name promises.
run_native() {
    echo "=== native build and tests (build/)"
    configure_and_build build RelWithDebInfo -DFWDEPLOY_SANITIZE=OFF -DFWDEPLOY_STATIC=OFF
    run_suite build
}

run_sanitize() {
    echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build and tests (build-asan/)"
    # Unoptimized: the instrumented build compiles several times faster at -O0,
    # the sanitizers find at least as much there, and assertions stay on.
    configure_and_build build-asan Debug -DFWDEPLOY_SANITIZE=ON -DFWDEPLOY_STATIC=OFF
    # Some tests preload a device stand-in ahead of the ASan runtime, hence the
    # link-order check is off; leaks count as failures.
    ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0:abort_on_error=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
        run_suite build-asan
}

# Children started by the tests (the fwdeploy binary, stand-in scripts that call
# armhf programs) are exec'ed directly, so the kernel has to hand armhf ELF files
# to qemu by itself.
check_binfmt() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-arm
    if [[ ! -r $entry ]] || ! grep -qx enabled "$entry"; then
        cat >&2 <<'EOF'
armhf: the kernel does not run ARM programs through qemu (binfmt_misc).
As root, with qemu-user-static and binfmt-support installed:
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-arm
EOF
        return 1
    fi
}

# Release is -O3, where GCC's flow analysis warns about other things than at -O2.
run_release() {
    echo "=== optimised build and tests (build-release/)"
    configure_and_build build-release Release -DFWDEPLOY_SANITIZE=OFF -DFWDEPLOY_STATIC=OFF
    run_suite build-release
}

run_armhf() {
    echo "=== armhf cross build and tests under qemu-user (build-armhf/)"
    check_binfmt
    configure_and_build build-armhf RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
        -DFWDEPLOY_SANITIZE=OFF -DFWDEPLOY_STATIC=OFF
    # The installed armhf libc is the loader; a second one through
    # QEMU_LD_PREFIX makes forked children crash. cortex-a7 keeps the
    # emulation no more permissive than a typical board.
    (unset QEMU_LD_PREFIX; export QEMU_CPU=cortex-a7; run_suite build-armhf)
}

mode=native
case "${1:-}" in
    "") ;;
    --sanitize) mode=sanitize ;;
    --armhf) mode=armhf ;;
    --release) mode=release ;;
    --all) mode=all ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
esac
if [[ $# -gt 1 ]]; then
    usage >&2
    exit 2
fi

# A fresh machine gets what the build and the tests need first.
if [[ $mode == armhf || $mode == all ]]; then
    bash scripts/deps.sh armhf
else
    bash scripts/deps.sh
fi

case $mode in
    native) run_native ;;
    sanitize) run_sanitize ;;
    armhf) run_armhf ;;
    release) run_release ;;
    all) run_native; run_sanitize; run_armhf; run_release ;;
esac
echo "=== all tests passed ($mode)"
