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
        python3.14 -c 'import sysconfig, os, sys, pytest; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null &&
        tarvik_has_header tsl/robin_map.h &&
        tarvik_has_header nlohmann/json.hpp &&
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
