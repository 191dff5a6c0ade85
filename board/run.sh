#!/usr/bin/env bash
# Boots Debian's arm64 kernel and systemd under qemu-system-aarch64 on a
# virt board whose PL061 GPIO lines carry the kernel's pwm-gpio driver, and
# runs board/guest/checks.sh there against the servo package. Prints the
# guest's check lines and fails unless every check passed in time.
# usage: board/run.sh BUILD_DIR     (a configured arm64 build holding the .debs)
# Works under $SERVO_BUILD_ROOT/board or build/board; downloads and what is
# built from them stay in its cache/ between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pkg_build=$(cd "$1" && pwd)
out=${SERVO_BUILD_ROOT:-$root/build}/board
cache=$out/cache
boot_limit=600 # s of host time for a boot and its checks: some 80 s here, 5 min beside three CPU hogs
# The device tree is dumped for the machine that boots: its phandles depend on -smp.
machine=(-cpu cortex-a57 -smp 1 -m 1024 -nic none -display none -no-reboot)
mkdir -p "$out" "$cache"
fail() { echo "board: $*" >&2; exit 1; }

servo_deb=$(echo "$pkg_build"/servo_*_arm64.deb)
dev_deb=$(echo "$pkg_build"/libservo-dev_*_arm64.deb)
[ -f "$servo_deb" ] && [ -f "$dev_deb" ] || fail "no arm64 packages in $pkg_build"

# What the package's Depends name must be on the board for dpkg to take it.
depends=$(dpkg-deb -f "$servo_deb" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | grep . | sort -u)
# shellcheck disable=SC2086 # one package a word
"$root/board/fetch.sh" "$cache" $depends
kernel_debs=$(cat "$cache/kernel.list")
deb_of() { grep "/$1" <<<"$kernel_debs"; }
image_deb=$(deb_of linux-image-)
kabi=$(basename "$image_deb" | sed 's/^linux-image-\(.*\)-unsigned_.*/\1/')

# The kernel, its headers and pwm-gpio.c, unpacked once per kernel.
kdir=$cache/kernel-$kabi
if [ ! -f "$kdir/.done" ]; then
  rm -rf "$cache"/kernel-*
  mkdir -p "$kdir"
  dpkg-deb --fsys-tarfile "$image_deb" |
    tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' './lib/modules/*/modules.builtin*' './lib/modules/*/modules.order'
  for d in $(deb_of linux-headers-) $(deb_of linux-kbuild-); do dpkg-deb -x "$d" "$kdir"; done
  # The headers include their common part by its installed path.
  sed -i "s|/usr/src/|$kdir/usr/src/|" "$kdir/usr/src/linux-headers-$kabi/Makefile"
  dpkg-deb --fsys-tarfile "$(deb_of linux-source-)" | tar -x -O --wildcards './usr/src/linux-source-*.tar.xz' |
    xz -dc -T0 | tar -x -C "$kdir" --strip-components=3 --wildcards '*/drivers/pwm/pwm-gpio.c'
  touch "$kdir/.done"
fi

# pwm-gpio as a module: Debian builds the kernel without it. No pahole here,
# so no BTF for it; the kernel does not insist on signatures.
mod=$kdir/module
if [ ! -f "$mod/pwm-gpio.ko" ]; then
  rm -rf "$mod" && mkdir -p "$mod"
  cp "$kdir/pwm-gpio.c" "$mod/" && echo 'obj-m := pwm-gpio.o' >"$mod/Kbuild"
  make -s -C "$kdir/usr/src/linux-headers-$kabi" M="$mod" CONFIG_DEBUG_INFO_BTF_MODULES= modules >"$out/module.log" 2>&1 ||
    { cat "$out/module.log"; rm -f "$mod/pwm-gpio.ko"; fail "pwm-gpio did not build"; }
fi

# The board's device tree: qemu's own for this machine, plus the servos.
qemu-system-aarch64 -M virt,dumpdtb="$out/virt.dtb" "${machine[@]}" >"$out/qemu.log" 2>&1 ||
  { cat "$out/qemu.log"; fail "qemu cannot dump the virt board's device tree"; }
{ dtc -q -I dtb -O dts "$out/virt.dtb"; cat "$root/board/servos.dtsi"; } | dtc -q -I dts -O dtb -o "$out/board.dtb" -

# The root filesystem, built again when its packages or its recipe change.
key=$(cat "$cache/rootfs.list" "$root/board/rootfs.sh" | sha256sum | cut -c1-16)
base=$cache/rootfs-$key.cpio
if [ ! -f "$base" ]; then
  rm -f "$cache"/rootfs-*.cpio
  "$root/board/rootfs.sh" "$cache/rootfs.list" "$base"
fi

# What this run adds: the package, the module where udev finds it, the checks
# and a client built against libservo-dev as a user would build one.
add=$out/overlay
rm -rf "$add" && mkdir -p "$add/root" "$add/usr/local/lib/board" "$add/etc/systemd/system/multi-user.target.wants"
cp "$servo_deb" "$add/root/"
mods=$add/usr/lib/modules/$kabi
mkdir -p "$mods/updates"
cp "$mod/pwm-gpio.ko" "$mods/updates/"
cp "$kdir/lib/modules/$kabi"/modules.{builtin,builtin.modinfo,order} "$mods/"
depmod -b "$add/usr" "$kabi"
rm -rf "$out/dev" && dpkg-deb -x "$dev_deb" "$out/dev"
aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -static "$root/board/client.cpp" -I"$out/dev/usr/include" \
  -L"$(dirname "$(find "$out/dev" -name libservo.a)")" -lservo -o "$add/usr/local/lib/board/client"
cp "$root"/board/guest/*.sh "$root"/board/guest/*.awk "$add/usr/local/lib/board/"
cp "$root/board/guest/board-checks.service" "$add/etc/systemd/system/"
ln -s ../board-checks.service "$add/etc/systemd/system/multi-user.target.wants/"
ln -s /usr/lib/systemd/system/multi-user.target "$add/etc/systemd/system/default.target"
(cd "$add" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/overlay.cpio"
cat "$base" "$out/overlay.cpio" >"$out/initrd.cpio"

# A board servod was installed and enabled on before it booted, as after a
# user's reboot: servod starts at boot, racing udev as it loads the driver.
# (Unloading the driver on a running board instead fails the kernel: a chip
# outlives its module.)
enabled=$out/enabled
rm -rf "$enabled" && mkdir -p "$enabled/etc/default" "$enabled/etc/systemd/system/multi-user.target.wants"
dpkg-deb -x "$servo_deb" "$enabled"
echo 'SERVOD_OPTIONS="--pwm servo0:0 --group gpio"' >"$enabled/etc/default/servod"
printf '%s\n' 'root:x:0:' 'gpio:x:900:' >"$enabled/etc/group"
ln -s /usr/lib/systemd/system/servod.service "$enabled/etc/systemd/system/multi-user.target.wants/"
(cd "$enabled" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/enabled.cpio"
cat "$out/initrd.cpio" "$out/enabled.cpio" >"$out/initrd-enabled.cpio"

# icount: the guest's clock counts instructions, so edges are timed exactly
# whatever the host is doing; sleep=off skips the guest's idle time.
console=$out/console.log
start=$SECONDS
boot() { # initrd, what the checks are to do: prints the guest's lines, fails unless all passed
  : >"$console"
  timeout "$boot_limit" qemu-system-aarch64 -M virt "${machine[@]}" -icount shift=0,sleep=off \
    -kernel "$kdir/boot/vmlinuz-$kabi" -initrd "$1" -dtb "$out/board.dtb" \
    -append "console=ttyAMA0 rdinit=/lib/systemd/systemd quiet systemd.getty_auto=0 panic=-1 board.checks=$2" \
    -serial "file:$console" -monitor none 2>"$out/qemu.log" &
  local qemu=$! summary="" status=0 l
  # The guest's lines as they come, with the host's time; the board is done
  # once it has said so, whether or not it powers itself off.
  while read -r l; do
    l=${l%$'\r'} # the serial console ends its lines with CR LF
    echo "[$((SECONDS - start)) s] $l"
    if [[ $l == "board: end: "* ]]; then
      summary=$l
      kill "$qemu" 2>/dev/null || true
    fi
  done < <(tail -n +1 -f --pid="$qemu" "$console" | grep -a --line-buffered '^board: ')
  wait "$qemu" || status=$?
  [ -n "$summary" ] || { [ $status -eq 124 ] && fail "the board did not finish within $boot_limit s; $console has its console"; }
  [ -n "$summary" ] || { cat "$out/qemu.log"; fail "the checks did not finish (qemu exited with $status); $console has the console"; }
  [[ $summary == *", 0 failed" ]] || fail "${summary#board: end: }"
}
echo "board: booting Linux $kabi with $(wc -l <"$cache/rootfs.list") Debian packages, servod enabled"
boot "$out/initrd-enabled.cpio" boot
echo "board: booting again, to install the package as a user does"
boot "$out/initrd.cpio" install
