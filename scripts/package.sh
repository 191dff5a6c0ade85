#!/usr/bin/env bash
# Makes the Debian packages in a configured build directory and checks them
# as a user would get them:
#   control   Architecture as expected, Depends computed from the binaries
#   runtime   unpacked into a scratch root: every program runs --help (under
#             qemu for a foreign architecture), the unit verifies with systemd
#   dev       an outside program builds against the unpacked development
#             package alone, with find_package and with pkg-config, and runs
#   python    where the build has the Python module: it imports from the
#             unpacked python3-servo with Debian's python3 (the target's under qemu)
#   lintian   no error on any package
# Nothing is installed on this machine: scratch roots live in the build dir.
# usage: scripts/package.sh BUILD_DIR [ARCH]
#   BUILD_DIR  configured with -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
#   ARCH       the Debian architecture the packages must have (default: the build's)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ] || [ $# -gt 2 ]; then echo "usage: scripts/package.sh BUILD_DIR [ARCH]" >&2; exit 2; fi
build=$(cd "$1" && pwd)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
[ -f "$build/CMakeCache.txt" ] || { echo "package: $build is not a configured build directory" >&2; exit 2; }
# Packages for /usr only; a /usr/local build would make packages Debian refuses.
[ "$(cache CMAKE_INSTALL_PREFIX)" = /usr ] ||
  { echo "package: configure $build with -DCMAKE_INSTALL_PREFIX=/usr" >&2; exit 2; }
arch=${2:-$(cache SERVO_DEB_ARCHITECTURE)}
[ -n "$arch" ] || { echo "package: no Debian architecture known for $build; name it" >&2; exit 2; }
host_arch=$(dpkg --print-architecture)
run=()
if [ "$arch" != "$host_arch" ]; then
  case $arch in
    armhf) run=(qemu-arm) ;;
    arm64) run=(qemu-aarch64) ;;
    i386)  run=(qemu-i386) ;;
    *)     echo "package: no emulator known for $arch" >&2; exit 2 ;;
  esac
fi
fail() { echo "package: $*" >&2; exit 1; }

cmake --build "$build" -j "$(nproc)" >"$build/package-build.log" 2>&1 ||
  { cat "$build/package-build.log"; fail "build failed"; }
rm -f "$build"/*.deb
# DEB_HOST_ARCH: dpkg-shlibdeps before 1.21 finds a cross build's libraries
# only through it (later ones read the architecture from the binaries).
(cd "$build" && DEB_HOST_ARCH=$arch cpack -G DEB >"$build/cpack.log" 2>&1) ||
  { cat "$build/cpack.log"; fail "cpack failed"; }
runtime_deb=$(echo "$build"/servo_*_"$arch".deb)
dev_deb=$(echo "$build"/libservo-dev_*_"$arch".deb)
python_deb=$(echo "$build"/python3-servo_*_"$arch".deb)
debs=("$build"/*.deb)
want=2 names="servo and libservo-dev"
[ -f "$build/python/servo/__init__.py" ] && want=3 names="servo, libservo-dev and python3-servo"
if [ ! -f "$runtime_deb" ] || [ ! -f "$dev_deb" ] || [ ${#debs[@]} -ne $want ] ||
   { [ $want -eq 3 ] && [ ! -f "$python_deb" ]; }; then
  fail "expected $names for $arch, cpack made: $(cd "$build" && echo *.deb)"
fi

for deb in "${debs[@]}"; do
  echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes"
  dpkg-deb -I "$deb"
  dpkg-deb -c "$deb" | awk '{ print $1, $3, $6 }'
done

# A missing or host-derived Depends installs fine and then fails to start.
depends=$(dpkg-deb -f "$runtime_deb" Depends)
[[ $depends == *libc6* ]] || fail "servo: Depends not computed from the binaries: '$depends'"

scratch=$build/package-root
rm -rf "$scratch"
mkdir -p "$scratch/runtime" "$scratch/dev"
dpkg-deb -x "$runtime_deb" "$scratch/runtime"
dpkg-deb -x "$dev_deb" "$scratch/dev"

(
  cd "$scratch/runtime"
  for f in etc/default/servod usr/lib/systemd/system/servod.service usr/share/doc/servo/copyright \
           usr/share/man/man1/{setServo,servod,servosim,servoplot,servo-sweep}.1.gz; do
    [ -f "$f" ] || fail "servo: $f missing"
  done
  for prog in setServo servod servosim servoplot servo-sweep; do
    out=$("${run[@]}" "usr/bin/$prog" --help) || fail "servo: $prog --help failed"
    [[ $out == "usage: $prog "* ]] || fail "servo: $prog --help printed: $out"
  done
  echo "servo: the five programs start from the unpacked package${run:+ under ${run[0]}}"

  # systemd-analyze needs the standard targets in the root; it exits 0 on
  # unknown keys, so any output at all is a failure.
  mkdir -p lib/systemd/system
  cp /lib/systemd/system/*.target /lib/systemd/system/*.slice lib/systemd/system/
  if ! out=$(systemd-analyze verify --root="$PWD" --man=no usr/lib/systemd/system/servod.service 2>&1) ||
     [ -n "$out" ]; then
    fail "servod.service: $out"
  fi
  echo "servo: systemd-analyze verify accepts servod.service"
)

(
  # libservo-dev alone: no program from servo needed to build against it.
  # Built with the build's compiler and flags, so for its architecture.
  prefix=$scratch/dev/usr
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
  read -ra cxx_flags <<<"$(cache CMAKE_CXX_FLAGS)"
  toolchain=$(cache CMAKE_TOOLCHAIN_FILE)
  # Servo_DIR, not a prefix: a cross toolchain confines prefixes to its sysroot.
  config_dir=$(dirname "$(find "$prefix/lib" -name ServoConfig.cmake)")
  cmake -S "$root/tests/consumer" -B "$scratch/consumer" -DServo_DIR="$config_dir" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="${cxx_flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="$(cache CMAKE_EXE_LINKER_FLAGS)" >/dev/null ||
    fail "libservo-dev: find_package(Servo) fails"
  cmake --build "$scratch/consumer" >/dev/null || fail "libservo-dev: no build with find_package(Servo)"
  out=$("${run[@]}" "$scratch/consumer/consumer") || fail "libservo-dev, find_package: $out"
  pc_dir=$(dirname "$(find "$prefix/lib" -name servo.pc)")
  read -ra pc_flags <<<"$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags --libs servo)"
  "$cxx" "${cxx_flags[@]}" -std=c++17 "$root/tests/consumer/consumer.cpp" "${pc_flags[@]}" \
    -o "$scratch/consumer/consumer-pc" || fail "libservo-dev: no build with pkg-config's flags"
  out=$("${run[@]}" "$scratch/consumer/consumer-pc") || fail "libservo-dev, pkg-config: $out"
  echo "libservo-dev: built and ran a program with find_package(Servo) and with pkg-config"
)

if [ $want -eq 3 ]; then
  (
    depends=$(dpkg-deb -f "$python_deb" Depends)
    [[ $depends == *"python3 (>= "*libstdc++6* ]] || fail "python3-servo: Depends lacks python3 or the C++ runtime: '$depends'"
    dpkg-deb -x "$python_deb" "$scratch/python"
    site=$scratch/python/usr/lib/python3/dist-packages
    for f in __init__.py __init__.pyi py.typed; do [ -f "$site/servo/$f" ] || fail "python3-servo: servo/$f missing"; done
    # Debian's python3, or the target's from scripts/python-target.sh.
    python=(/usr/bin/python3)
    if [ ${#run[@]} -gt 0 ]; then
      pyroot=$(cache SERVO_PYTHON_ROOT)
      python=("${run[@]}" "$(echo "$pyroot"/usr/bin/python3.*[0-9])")
      [ -x "${python[-1]}" ] || fail "python3-servo: no $arch interpreter under $pyroot (scripts/python-target.sh)"
      libs=("$pyroot"/usr/lib/*-linux-gnu* "$pyroot"/lib/*-linux-gnu*)
      LD_LIBRARY_PATH=$(IFS=:; echo "${libs[*]}")
      export LD_LIBRARY_PATH
    fi
    out=$("${python[@]}" -c "import sys; sys.path.insert(0, sys.argv[1]); import servo
assert servo.__file__.startswith(sys.argv[1]), servo.__file__
print(servo.width(128))" "$site") || fail "python3-servo: import servo failed: $out"
    [ "$out" = 1500000 ] || fail "python3-servo: servo.width(128) gave '$out'"
    echo "python3-servo: import servo works from the unpacked package${run:+ under ${run[0]}}"
  )
fi

lint_status=0
lint=$(lintian -I --fail-on error "${debs[@]}" 2>&1) || lint_status=$?
lint=$(grep -v "running with root privileges" <<<"$lint" || true)
echo "lintian:${lint:+$'\n'$lint}"
[ $lint_status -eq 0 ] || fail "lintian reports errors"
echo "package: $arch packages made and checked in $build"
