#!/bin/sh
# Installs the build into a scratch root (DESTDIR) and checks what a host gets:
# the versioned library with its exports, headers, default rules, state folder,
# units, manual pages and completion; then compiles the README's C example
# against the install, once through pkg-config and once through find_package.
# Usage: install_test.sh CMAKE SOURCE_DIR BUILD_DIR PREFIX LIBDIR INCLUDEDIR BINDIR RULES_FILE STATE_DIR UNIT_DIR
set -eu
cmake=$1 src=$2 build=$3 prefix=$4 libdir=$5 includedir=$6 bindir=$7 rules=$8 state=$9 units=${10}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root "$cmake" --install "$build" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }

lib=$root$libdir
[ -L "$lib/qvim.so" ] && [ -L "$lib/qvim.so.1" ] || fail "qvim.so and qvim.so.1 are not links in $libdir"
[ -f "$(readlink -f "$lib/qvim.so")" ] || fail "qvim.so links to nothing"
readelf -d "$lib/qvim.so" | grep -q 'SONAME.*\[qvim\.so\.1\]' || fail "the soname is not qvim.so.1"
sh "$src/tests/check_exports.sh" "$lib/qvim.so" >/dev/null || fail "the installed qvim.so exports more or less than its interface"

mode() { stat -c %a "$1"; }
for f in "$root$includedir/qvim/qvim.h" "$root$includedir/qvim/IMEngineHandle.h" "$lib/pkgconfig/qvim.pc" \
         "$lib/cmake/qvim/qvimConfig.cmake" "$root$prefix/share/bash-completion/completions/qvim" \
         "$root$prefix/share/man/man8/qvim.8.gz" "$root$prefix/share/man/man5/qvim-rules.5.gz"; do
  [ -f "$f" ] || fail "missing ${f#"$root"}"
done
[ "$(mode "$root$rules")" = 600 ] || fail "$rules is not 0600 (root reads the rules alone)"
cmp -s "$root$rules" "$src/examples/rules/default.json" || fail "$rules is not the sample ruleset"
[ -d "$root$state" ] && [ "$(mode "$root$state")" = 700 ] || fail "$state is not a folder of mode 0700"
for unit in qvim-check.service qvim-check.timer qvim-watch.service; do
  [ -f "$root$units/$unit" ] || fail "missing $units/$unit"
done

# The installed program finds the installed library.
version=$(LD_LIBRARY_PATH=$lib "$root$bindir/qvim" --version) || fail "the installed qvim does not run"
[ "$version" = "qvim $(sed -n 's/^Version: //p' "$lib/pkgconfig/qvim.pc")" ] ||
  fail "qvim --version printed '$version', not the version of qvim.pc"

if [ "${QVIM_SANITIZED:-0}" = 1 ]; then
  echo "skipped: an instrumented qvim.so needs the sanitizer runtime in the host program, so the README"
  echo "example is built against the plain build only (the install itself was checked)"
  exit 77
fi

# The example exactly as the README shows it: the first C block.
awk '/^```c$/ {inside=1; next} inside && /^```$/ {exit} inside {print}' "$src/README.md" >"$work/host.c"
[ -s "$work/host.c" ] || fail "the README has no C example"

needs_qvim() { readelf -d "$1" | grep -q 'NEEDED.*\[qvim\.so\.1\]' || fail "$1 does not need qvim.so.1"; }

PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$lib/pkgconfig pkg-config --cflags --libs qvim >"$work/flags" ||
  fail "pkg-config does not know qvim"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror "$work/host.c" $(cat "$work/flags") -o "$work/host-pkgconfig" ||
  fail "the README example does not build through pkg-config ($(cat "$work/flags"))"
needs_qvim "$work/host-pkgconfig"

mkdir "$work/cmake-host"
cat >"$work/cmake-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(host C)
find_package(qvim 1 REQUIRED)
add_executable(host $work/host.c)
target_compile_options(host PRIVATE -Wall -Wextra -Werror)
target_link_libraries(host PRIVATE qvim::qvim)
CMAKE
"$cmake" -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$root$prefix" \
  -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF >"$work/cmake.log" 2>&1 &&
  "$cmake" --build "$work/cmake-host/build" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "the README example does not build through find_package(qvim)"; }
grep -q "^qvim_DIR:PATH=$root" "$work/cmake-host/build/CMakeCache.txt" || fail "find_package found another qvim"
needs_qvim "$work/cmake-host/build/host"

echo "installed into a scratch root; the README example builds through pkg-config and find_package(qvim)"
