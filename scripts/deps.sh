#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the tests need and is missing.
set -euo pipefail
arches=(i386 armhf arm64)                         # the target ABIs' Debian names
packages=(
  cmake ninja-build g++ make pkg-config           # build
  libgtest-dev libgmock-dev googletest            # tests; sources for the cross builds
  python3-dev pybind11-dev python3-pytest         # the Python module and its tests
  g++-i686-linux-gnu g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user   # target ABIs
  clang libclang-rt-14-dev                        # libFuzzer with sanitizers
  valgrind strace libbenchmark-dev rt-tests       # leak, fd, call and speed checks; cyclictest
  clang-tidy cppcheck                             # static analysis
  man-db groff-base util-linux                    # man pages; setpriv
  librsvg2-bin libxml2-utils                      # servoplot's pictures: rendered, parsed
  lintian dpkg-dev fakeroot file                  # Debian packages and their checks
  qemu-system-arm device-tree-compiler            # the board: an emulated arm64 machine
  cpio kmod xz-utils                              # its root filesystem and its pwm-gpio module
)
# The target's own runtime libraries, so that its dynamically linked programs
# run under qemu-user (or natively) without a library prefix.
for a in "${arches[@]}"; do packages+=("libc6:$a" "libstdc++6:$a"); done
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing ${missing[*]}; run as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
native=$(dpkg --print-architecture)
for a in "${arches[@]}"; do
  if [ "$a" != "$native" ] && ! dpkg --print-foreign-architectures | grep -x "$a" >/dev/null; then
    echo "deps: dpkg --add-architecture $a"
    dpkg --add-architecture "$a"
  fi
done
echo "deps: installing ${missing[*]}"
# Another apt may be running: wait for its lock rather than fail.
apt=(apt-get -q -o DPkg::Lock::Timeout=600)
for attempt in 1 2 3 4 5; do
  # One index that failed to fetch (a mirror mid-sync, say) leaves the others
  # fresh, and the install may well work: only the install decides.
  "${apt[@]}" update >/dev/null 2>&1 || echo "deps: apt-get update reported a failure; trying the install" >&2
  if DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null; then
    exit 0
  fi
  echo "deps: apt-get install failed (attempt $attempt), retrying" >&2
  sleep $((attempt * 10))
done
exit 1
