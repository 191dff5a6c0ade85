#!/usr/bin/env bash
# Makes the board's root filesystem as a cpio archive (an initramfs) from the
# Debian packages listed in LIST, unpacked as dpkg would leave them: /usr
# merged, and dpkg's own database saying they are installed, so that dpkg in
# the guest checks a package's Depends against them. No chroot, no emulator.
# usage: board/rootfs.sh LIST OUT.cpio
set -euo pipefail
list=$1 out=$2
root=$out.d
rm -rf "$root"
mkdir -p "$root/usr"/{bin,sbin,lib} "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
status=$root/var/lib/dpkg/status
: >"$status"
while read -r deb; do
  control=$(dpkg-deb -f "$deb")
  pkg=$(sed -n 's/^Package: //p' <<<"$control")
  grep -qx 'Multi-Arch: same' <<<"$control" && pkg=$pkg:$(sed -n 's/^Architecture: //p' <<<"$control")
  printf '%s\n\n' "$(sed '1a Status: install ok installed' <<<"$control")" >>"$status"
  # Unpacked and listed in one pass, as dpkg keeps its file lists.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -v -C "$root" |
    sed 's|^\./|/|; s|/$||; s|^$|/.|' >"$root/var/lib/dpkg/info/$pkg.list"
done <"$list"
# Debian 12 merges /usr at install time (debootstrap does it); so here.
for d in bin sbin lib; do
  if [ -d "$root/$d" ] && [ ! -L "$root/$d" ]; then
    cp -a "$root/$d/." "$root/usr/$d/"
    rm -rf "${root:?}/$d"
  fi
  ln -s "usr/$d" "$root/$d"
done
touch "$root/var/lib/dpkg/available"
# The one alternative the checks rely on, as mawk's postinst would set it.
ln -s /etc/alternatives/awk "$root/usr/bin/awk"
mkdir -p "$root/etc/alternatives" && ln -s /usr/bin/mawk "$root/etc/alternatives/awk"
rm -rf "$root/usr/share"/{doc,man,info,locale}
# Accounts that base-passwd would have made; systemd-sysusers adds its own at boot.
printf '%s\n' 'root:x:0:0:root:/root:/bin/bash' >"$root/etc/passwd"
printf '%s\n' 'root:x:0:' >"$root/etc/group"
printf '%s\n' 'root:*:19000:0:99999:7:::' >"$root/etc/shadow"
echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"
mkdir -p "$root/root" "$root/tmp" "$root/run" "$root/proc" "$root/sys" "$root/dev"
chmod 1777 "$root/tmp"
(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out.tmp"
mv "$out.tmp" "$out"
rm -rf "$root"
