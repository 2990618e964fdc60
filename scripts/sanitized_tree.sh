# The one instrumented build tree of the C++ code, sourced by scripts/sanitize.sh
# (the unit tests under the sanitizers) and fuzz/run.sh (the libFuzzer targets):
# both link the same library objects, compiled once.
#
# clang++-19, the fuzzers' compiler, builds it: the sanitized test stage is made
# afresh on every CI machine, and clang compiles these sources at -O1 with
# the sanitizers in about half of g++'s time. Line tables only (-g1) are all
# that a report's stack trace needs to name files and lines, and -O1 is fast
# enough to fuzz and to run the tests. The libraries the fuzz targets read
# through carry libFuzzer's coverage instrumentation (fuzz/CMakeLists.txt),
# which the test program, linked against the same archives, takes along
# unused.
#
# The sanitizers are ASan and every check of UBSan's "undefined" group but
# vptr, which tests whether memory is readable through a pipe, so that in a
# process that has used up its file descriptors (which the tests do on
# purpose) it reports every virtual call as a fault.

SANITIZED_TREE=$ROOT/build/sanitize/cpp
SANITIZED_CXX=clang++-19

SANITIZERS=address,alignment,bool,bounds,builtin,enum,float-cast-overflow,integer-divide-by-zero
SANITIZERS+=,nonnull-attribute,null,object-size,pointer-overflow,return,returns-nonnull-attribute,shift
SANITIZERS+=,signed-integer-overflow,unreachable,vla-bound

# clang-19 and its runtimes (libFuzzer among them), installed when missing and
# run as root.
ensure_sanitizer_compiler() {
    if command -v "$SANITIZED_CXX" >/dev/null &&
        [[ -f $("$SANITIZED_CXX" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a ]]; then
        return 0
    fi
    if [[ $(id -u) -ne 0 ]]; then
        echo "$SANITIZED_CXX with its sanitizer and libFuzzer runtimes is needed: apt-get install clang-19 libclang-rt-19-dev" >&2
        exit 1
    fi
    printf '\033[1m==> %s\033[0m\n' "installing clang-19" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null
}

# Configures a tree with these flags: $1 the directory, $2 the compiler, the
# rest CMake definitions. Configured on every run, so that a tree from before
# takes the flags of now.
configure_sanitized() {
    local dir=$1 cxx=$2 cached
    shift 2
    # A tree configured with another compiler (g++, which built these trees
    # before) cannot take this one: it is made afresh.
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
    [[ -z $cached || $cached == "$cxx" || $cached == "$(command -v "$cxx")" ]] || rm -rf "$dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_CXX_FLAGS="-O1 -g1" -DTARNWICK_SANITIZE="$SANITIZERS" "$@" >/dev/null
}

# Builds targets ($@) of the shared tree; its log goes to $SANITIZED_TREE.log
# and is shown when the build fails.
build_sanitized_tree() {
    ensure_sanitizer_compiler
    configure_sanitized "$SANITIZED_TREE" "$SANITIZED_CXX" \
        -DTARNWICK_BUILD_TESTS=ON -DTARNWICK_BUILD_FUZZERS=ON -DTARNWICK_BUILD_MODULE=OFF
    nice cmake --build "$SANITIZED_TREE" --target "$@" >"$SANITIZED_TREE.log" 2>&1 ||
        { cat "$SANITIZED_TREE.log" >&2; exit 1; }
}
