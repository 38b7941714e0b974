# shellcheck shell=bash
# Configuring and building the project in a build directory, quietly unless the build fails.
#
#   cmake_build DIR [CMAKE-ARGS...] [-- TARGETS...]   configure DIR from the source tree (or from
#                                                     $BUILD_SOURCE) and build (all targets when
#                                                     none are named); the build log is
#                                                     DIR/build.log, printed on failure
#   built_binary DIR NAME                             print the path of the executable NAME in DIR

_build_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

cmake_build() {
    local dir=$1; shift
    local args=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
    [ $# -gt 0 ] && shift && targets=("$@")
    # With ccache on the machine (the test command installs it) a build of sources compiled
    # before, in this clone or another one (paths are taken relative to the tree), is taken
    # from its cache; without it, everything is compiled.
    local source=${BUILD_SOURCE:-$_build_source}
    if command -v ccache >/dev/null; then
        args=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${args[@]}")
        export CCACHE_BASEDIR=$source CCACHE_NOHASHDIR=true
        export CCACHE_DIR=${CCACHE_DIR:-/var/cache/vantrell-ccache} CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G}
    fi
    cmake -S "$source" -B "$dir" -G "Unix Makefiles" "${args[@]}" >/dev/null
    local target_args=()
    [ ${#targets[@]} -gt 0 ] && target_args=(--target "${targets[@]}")
    cmake --build "$dir" -j "$(nproc)" "${target_args[@]}" >"$dir/build.log" 2>&1 ||
        { cat "$dir/build.log"; return 1; }
}

built_binary() {
    local path
    path=$(find "$1" -type f -name "$2" -perm -u+x | head -n 1)
    [ -x "$path" ] || { echo "$2 was not built in $1" >&2; return 1; }
    echo "$path"
}
