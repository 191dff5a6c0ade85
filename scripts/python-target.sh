#!/usr/bin/env bash
# Unpacks a target's Python into ROOT, without installing it on this machine:
# libpython3.X-dev for its pyconfig.h (SERVO_PYTHON_ROOT of a cross build),
# and the interpreter with its standard library, to import the cross-built
# module under qemu-user. The version is that of Debian's python3 here, which
# the module is built for. Needs ARCH among dpkg's foreign architectures (deps.sh).
# usage: scripts/python-target.sh ARCH ROOT
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: scripts/python-target.sh ARCH ROOT" >&2; exit 2; }
arch=$1
root=$(mkdir -p "$2" && cd "$2" && pwd)
v=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
packages=("libpython$v-dev" "python$v-minimal" "libpython$v-minimal" "libpython$v-stdlib" libexpat1 zlib1g)
[ -f "$root/done" ] && [ "$(cat "$root/done")" = "$arch ${packages[*]}" ] && exit 0

debs=$root/debs
rm -rf "$debs" "$root/usr" "$root/lib" "$root/done"
mkdir -p "$debs"
for attempt in 1 2 3; do
  # The sandbox user _apt cannot write into a checkout only root can enter.
  if (cd "$debs" && apt-get -q -o APT::Sandbox::User=root download "${packages[@]/%/:$arch}" >apt.log 2>&1); then
    break
  fi
  [ "$attempt" -lt 3 ] || { cat "$debs/apt.log" >&2; echo "python-target: cannot download Python $v for $arch" >&2; exit 1; }
  # Stale lists name files a mirror has dropped.
  apt-get -q -o DPkg::Lock::Timeout=600 update >/dev/null 2>&1 || true
  sleep $((attempt * 5))
done
for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$root"; done
echo "$arch ${packages[*]}" >"$root/done"
