#!/usr/bin/env bash
# Downloads the board's Debian packages for arm64 into CACHE through a private
# apt configuration (its own sources, lists and cache), so that the machine's
# own apt state is left alone. The mirror is the machine's: read from its apt
# sources. Writes CACHE/kernel.list and CACHE/rootfs.list, one .deb a line.
# A second run with the same request touches no network.
# usage: board/fetch.sh CACHE [PACKAGE...]   (packages the root filesystem needs besides)
set -euo pipefail
cache=$(mkdir -p "$1" && cd "$1" && pwd)
suite=bookworm                  # the root filesystem's Debian
kernel_suite=bookworm-backports # 6.12: pwm-gpio is in its source, built as a module here
# What the board runs: systemd and udev, dpkg to install the package, and the
# tools the checks use. Depends of these come along.
rootfs_packages=(systemd udev kmod dpkg diffutils libc-bin bash dash coreutils util-linux mount grep sed mawk findutils tar gzip "${@:2}")

# The URI of the machine's source for its own release, one-line or deb822.
mirror() {
  local codename f
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v want="$codename" '$1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == want) { print $i; exit }
      }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v want="$codename" 'BEGIN { RS = "" }
      {
        deb = 0; suites = 0; uri = ""; off = 0
        n = split($0, line, "\n")
        for (j = 1; j <= n; j++) {
          if (line[j] ~ /^Types:/ && line[j] ~ /[ \t]deb([ \t]|$)/) deb = 1
          if (line[j] ~ /^Enabled:[ \t]*no/) off = 1
          if (line[j] ~ /^URIs:/) { split(line[j], w, /[ \t]+/); uri = w[2] }
          if (line[j] ~ /^Suites:/ && (" " line[j] " ") ~ ("[ \t]" want "[ \t]")) suites = 1
        }
        if (deb && suites && !off && uri != "") { print uri; exit }
      }' "$f"
  done
}
host=$(dpkg --print-architecture) # kbuild's programs run here
request="$suite $kernel_suite ${rootfs_packages[*]}"
if [ "$(cat "$cache/request" 2>/dev/null)" = "$request" ] &&
   cat "$cache/kernel.list" "$cache/rootfs.list" 2>/dev/null | xargs -r ls >/dev/null 2>&1; then
  exit 0
fi
rm -f "$cache/request"

url=$(mirror | head -1)
[ -n "$url" ] || { echo "board: no Debian mirror in this machine's apt sources" >&2; exit 1; }

apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
: >"$apt_dir/status" # nothing installed: apt resolves every dependency
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# This machine's architecture only where kbuild comes from.
printf 'deb [arch=%s signed-by=%s] %s %s main\n' arm64 "$keyring" "$url" "$suite" \
  "arm64,$host" "$keyring" "$url" "$kernel_suite" >"$apt_dir/sources.list"
# The sandbox user _apt cannot write into a checkout only root can enter.
opts=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status"
      -o Dir::Cache="$apt_dir" -o Dir::Cache::archives="$apt_dir/archives"
      -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Architectures::="$host"
      -o APT::Sandbox::User=root -o APT::Install-Recommends=false -o Debug::NoLocking=1)
apt=(apt-get -q "${opts[@]}")
field() { apt-cache "${opts[@]}" show --no-all-versions "$1" | sed -n "s/^$2: //p" | head -1; }

for attempt in 1 2 3 4 5; do
  # A mirror mid-sync can fail one index and serve the rest: the downloads decide.
  "${apt[@]}" update >"$cache/apt-update.log" 2>&1 ||
    echo "board: apt-get update reported a failure; trying the downloads" >&2
  ok=1
  # The kernel: its version from the metapackage, so a newer upload is taken.
  kver=$(field "linux-image-arm64/$kernel_suite" Version)
  kabi=$(field "linux-headers-arm64/$kernel_suite" Depends | sed 's/^linux-headers-\([^ ,]*\).*/\1/')
  series=${kabi%%.*}.$(cut -d. -f2 <<<"$kabi")
  if [ -z "$kver" ] || [ -z "$kabi" ]; then ok=0; fi
  kernel=("linux-image-$kabi-unsigned=$kver" "linux-headers-$kabi=$kver"
          "linux-headers-${kabi%-arm64}-common=$kver"
          "linux-kbuild-${kabi%-arm64}:$host=$kver" "linux-source-$series=$kver")
  if [ $ok = 1 ] && (cd "$apt_dir/archives" && "${apt[@]}" download "${kernel[@]}" >"$cache/apt-kernel.log" 2>&1) &&
     "${apt[@]}" -y -t "$suite" install --download-only "${rootfs_packages[@]}" >"$cache/apt-rootfs.log" 2>&1; then
    break
  fi
  ok=0
  echo "board: downloads failed (attempt $attempt), retrying" >&2
  sleep $((attempt * 10))
done
[ $ok = 1 ] || { cat "$cache"/apt-*.log >&2; exit 1; }

deb_of() { # name version arch: the file apt saved, epoch's colon escaped
  echo "$apt_dir/archives/${1}_${2//:/%3a}_$3.deb"
}
for entry in "${kernel[@]}"; do
  name=${entry%%=*}
  deb_of "${name%:*}" "$kver" "$(field "$entry" Architecture)"
done >"$cache/kernel.list"
"${apt[@]}" -s -t "$suite" install "${rootfs_packages[@]}" |
  sed -n 's/^Conf \([^ ]*\) (\([^ ]*\) .*\[\([a-z0-9]*\)\])$/\1 \2 \3/p' |
  while read -r name version arch; do deb_of "$name" "$version" "$arch"; done >"$cache/rootfs.list"
while read -r deb; do
  [ -f "$deb" ] || { echo "board: $deb was not downloaded" >&2; exit 1; }
done < <(cat "$cache/kernel.list" "$cache/rootfs.list")
echo "$request" >"$cache/request"
