#!/usr/bin/env bash
# Installs, as root and idempotently, everything the build and the tests need on
# Debian 12, then fetches zstd's source (the Windows decoder, both writers'
# encoder) into the build tree.
# Usage: scripts/install-deps.sh [BUILD_ROOT]   (default: ./build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${1:-$root/build}

packages=(
  g++ cmake ninja-build pkg-config dpkg-dev xz-utils
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64
  googletest libgtest-dev libzstd-dev zlib1g-dev libdeflate-dev zstd
  clang libclang-rt-14-dev
  hyperfine time jq
  osslsigncode openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# apt-get source needs a deb-src entry; derive it from the machine's own deb822
# sources (the main archive only: the security archive serves no sources here),
# so that no host name is written into the repository.
src_list=/etc/apt/sources.list.d/mordax-deb-src.sources
need_update=0
wanted=$(awk 'BEGIN{RS=""; ORS="\n\n"}
  /(^|\n)Types:[ \t]*deb([ \t]|\n|$)/ && /URIs:[^\n]*debian/ && !/URIs:[^\n]*security/ {
    sub(/Types:[ \t]*deb/, "Types: deb-src"); print }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
# A machine set up by the installer may have only the classic one-line format.
if [ -z "$wanted" ] && [ -f /etc/apt/sources.list ]; then
  src_list=/etc/apt/sources.list.d/mordax-deb-src.list
  wanted=$(awk '$1 == "deb" && $0 ~ /debian/ && $0 !~ /security/ { $1 = "deb-src"; print }' /etc/apt/sources.list)
fi
if [ -n "$wanted" ] && [ "$(cat "$src_list" 2>/dev/null)" != "$(printf '%s' "$wanted")" ]; then
  printf '%s' "$wanted" > "$src_list"
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ] || [ ! -d /var/lib/apt/lists ] || \
   [ -z "$(ls /var/lib/apt/lists/ 2>/dev/null | grep -i _Sources)" ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Sources unpacked once into the build tree for the Windows cross build: zstd
# (the decoder) and libdeflate (its CRC-32).
fetch_source() {  # fetch_source PACKAGE DIR FILE-THAT-PROVES-IT
  local dir=$build_root/_deps/$2
  [ -f "$dir/$3" ] && return 0
  local tmp=$build_root/_deps/$2-fetch
  rm -rf "$tmp"; mkdir -p "$tmp"
  (cd "$tmp" && apt-get source -qq --download-only "$1" >/dev/null && dpkg-source -x --no-check ./*.dsc src >/dev/null)
  rm -rf "$dir"; mv "$tmp/src" "$dir"; rm -rf "$tmp"
}
fetch_source libzstd zstd-src lib/zstd.h
fetch_source libdeflate libdeflate-src libdeflate.h
echo "dependencies ready (sources in $build_root/_deps)"
