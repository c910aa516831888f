# Sourced by the project's scripts: makes sure they run where Python 3.14,
# its headers, a C++20 compiler, CMake, Ninja, pytest and the libraries are.
# On a machine that has them the scripts run natively; elsewhere they run
# again inside the development root (scripts/devroot). TARVIK_BUILD_ENV
# chooses: auto (default), native or devroot.

# A header the build needs, in the compiler's usual places.
tarvik_has_header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }

tarvik_native_ok() {
    command -v python3.14 >/dev/null &&
        command -v cmake >/dev/null &&
        command -v ninja >/dev/null &&
        command -v c++ >/dev/null &&
        python3.14 -c 'import sysconfig, os, sys, pytest, mypy; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null &&
        tarvik_has_header tsl/robin_map.h &&
        tarvik_has_header nlohmann/json.hpp &&
        tarvik_has_header CLI/CLI.hpp &&
        tarvik_has_header zstd.h &&
        tarvik_has_header gtest/gtest.h &&
        tarvik_has_header benchmark/benchmark.h
}

# tarvik_use_build_env SCRIPT ARGS...: returns when this process may build
# here; otherwise runs SCRIPT again inside the development root and exits
# with its status.
tarvik_use_build_env() {
    local mode=${TARVIK_BUILD_ENV:-auto}
    if [ -n "${TARVIK_IN_DEVROOT:-}" ] || [ "$mode" = native ]; then return 0; fi
    if [ "$mode" = auto ] && tarvik_native_ok; then return 0; fi
    local repo
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    exec "$repo/scripts/devroot" "$@"
}

# The CMake preset: "ci" under CI (warnings are errors), else "dev".
tarvik_preset() {
    if [ -n "${TARVIK_PRESET:-}" ]; then echo "$TARVIK_PRESET"
    elif [ -n "${CI:-}" ]; then echo ci
    else echo dev
    fi
}

tarvik_build() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
}

# tarvik_build_visibly PRESET: builds from the repository's root with the
# build's progress on standard error, and says what is going on the first
# time; prints nothing when the build is up to date.
tarvik_build_visibly() {
    local preset=$1
    [ -f "build/$preset/build.ninja" ] ||
        echo "tarvik: building the module, the engine and the tools (a few minutes, the first time only)" >&2
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" |
        { grep -v -e '^ninja: no work to do' -e 'Re-checking globbed directories' >&2 || true; }
}

# tarvik_share_user_paths ARGS...: the user's places that a program run
# inside the development root sees at their own paths (scripts/devroot
# mounts them): the current directory, $HOME, /mnt, /srv, and for every
# argument that names a path (ARG or --option=ARG) the folder it is, or the
# folder that holds it when that exists (so outputs beside it are seen).
# /tmp and the clone are always there.
tarvik_share_user_paths() {
    local places=("$PWD" "${HOME:-}" /mnt /srv) arg path
    for arg in "$@"; do
        for path in "$arg" "${arg#*=}"; do
            [ -n "$path" ] || continue
            path=$(realpath -m -- "$path" 2>/dev/null) || continue
            if [ -d "$path" ]; then places+=("$path")
            elif [ -d "$(dirname "$path")" ] && { [ -e "$path" ] || [[ "$arg" == */* ]]; }; then
                places+=("$(dirname "$path")")
            fi
        done
    done
    # Parents first, so that a folder inside another is not mounted twice.
    TARVIK_DEVROOT_MOUNTS=$(printf '%s\n' "${places[@]}" | grep -v '^$' | sort -u)
    export TARVIK_DEVROOT_MOUNTS
}

# tarvik_run_built PROGRAM ARGS...: builds when needed (its progress on
# standard error; nothing when it is up to date), then runs PROGRAM with
# the built module, engine and tape tool. TARVIK_BUILD_DIR names a build
# to use as it is, without building.
tarvik_run_built() {
    local repo preset build_dir
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    preset=$(tarvik_preset)
    build_dir=${TARVIK_BUILD_DIR:-$repo/build/$preset}
    if [ -z "${TARVIK_BUILD_DIR:-}" ]; then
        (cd "$repo" && tarvik_build_visibly "$preset") || { echo "tarvik: the build failed" >&2; exit 1; }
    fi
    export PYTHONPATH="$build_dir/python${PYTHONPATH:+:$PYTHONPATH}"
    export PATH="$build_dir/python/tarvik_engine:$PATH"
    export TARVIK_BUILD_DIR="$build_dir"  # the build a program's defaults (the sample tape) come from
    exec "$@"
}
