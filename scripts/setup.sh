#!/usr/bin/env bash
# Makes sure this Debian machine has what a job needs, installing what is missing with apt when
# run as root, or saying what to install otherwise.
#   scripts/setup.sh demo   the host build: compiler, CMake, Ninja, GoogleTest sources,
#                           e2fsprogs with libext2fs, which the stand-in tool reads images with,
#                           zlib and zstd, which inflate compressed virtual disks, qemu-utils,
#                           whose qemu-img writes the virtual disks the tests read, and fdisk,
#                           whose sfdisk writes the partition tables they read, and LLVM's
#                           linker, which lays the code the tool's runs call side by side
#   scripts/setup.sh test   also 32-bit and 64-bit Wine, the i686 and x86_64 MinGW-w64 compilers,
#                           e2fsprogs' and libzstd's Debian source packages for the Windows
#                           tool's libext2fs and zstd, zlib for MinGW,
#                           clang's fuzzer runtime, Midnight Commander with tmux, and Double
#                           Commander with Xvfb, xdotool, xclip and ImageMagick for the
#                           file-manager tests, and for the package tests dpkg-dev and file
#                           (the .deb's Depends), lintian and groff
#   scripts/setup.sh bench  the host build, valgrind, 7-Zip as the in-process reference reader,
#                           Debian's Python 3 with matplotlib for the picture, and the Windows
#                           build under Wine (as for the tests), with the sources it links
set -euo pipefail
cd "$(dirname "$0")/.."

job=${1:-demo}
missing=()
need_command() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_package() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || missing+=("$1")
}

need_command cmake cmake
need_command ninja ninja-build
need_command g++ g++
need_command make make
need_package googletest
need_package libext2fs-dev
need_command mke2fs e2fsprogs
need_package fdisk
need_command qemu-img qemu-utils
need_package zlib1g-dev
need_package libzstd-dev
need_command ld.lld lld
case "$job" in
  test)
    need_command lvm lvm2
    need_command cryptsetup cryptsetup-bin
    need_command losetup mount
    need_command xz xz-utils
    need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
    need_command wine wine
    need_package wine32:i386
    need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    need_package wine64
    need_package libz-mingw-w64-dev
    need_command qemu-io qemu-utils
    need_command clang++ clang
    need_package libclang-rt-14-dev
    need_command python3 python3
    need_command mc mc
    need_command tmux tmux
    need_command doublecmd doublecmd-gtk
    need_command Xvfb xvfb
    need_command xdotool xdotool
    need_command xclip xclip
    need_command import imagemagick
    need_command dpkg-shlibdeps dpkg-dev
    need_command file file
    need_command lintian lintian
    need_command groff groff-base
    need_command dpkg-source dpkg-dev
    need_package debian-keyring
    ;;
  bench)
    need_command valgrind valgrind
    need_command qemu-img qemu-utils
    need_command lvm lvm2
    need_command /usr/bin/time time
    need_command 7zz 7zip
    need_package python3-matplotlib
    need_package libz-mingw-w64-dev
    need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
    need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    need_command wine wine
    need_package wine32:i386
    need_package wine64
    need_package libz-mingw-w64-dev
    need_command dpkg-source dpkg-dev
    need_package debian-keyring
    ;;
esac

install_missing() {
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "kovox needs these Debian packages: ${missing[*]}" >&2
    echo "Install them as root (32-bit Wine first needs: dpkg --add-architecture i386; apt-get update)." >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  local update_failed=
  update_package_indexes || update_failed=1
  apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null && return
  if [ -n "$update_failed" ]; then
    # An index missing for one suite and architecture (the security suite's i386, say) leaves apt
    # unable to pair the libraries it takes from that suite with the other architecture's. The
    # release's main suite serves both architectures alike.
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -n "$release" ]; then
      echo "Installing again with every package from the $release suite, as one of its updates' indexes is missing." >&2
      apt-get install -y -qq -o DPkg::Lock::Timeout=600 -o "APT::Default-Release=$release" \
          "${missing[@]}" >/dev/null && return
    fi
    echo "Could not install the packages: apt could not fetch the index $failed_index; the mirror, not kovox, is at fault (it may be mid-sync): try again later." >&2
  fi
  exit 1
}

# apt-get update, tried a few times a little apart when some indexes fail to download, as a
# mirror caught mid-sync answers with a file of the wrong size for some minutes. False when the
# last try still failed, with the first index that could not be fetched in failed_index; apt then
# goes on with the indexes it has.
failed_index=
update_package_indexes() {
  local attempt output tries=${KOVOX_APT_UPDATE_TRIES:-4}
  for ((attempt = 1; attempt <= tries; attempt++)); do
    output=$(apt-get update -qq 2>&1) && return 0
    failed_index=$(sed -n 's/.*Failed to fetch \([^ ]*\).*/\1/p' <<<"$output" | head -n 1)
    echo "apt-get update failed (try $attempt of $tries)${failed_index:+: $failed_index could not be fetched}." >&2
    [ "$attempt" -lt "$tries" ] && sleep "${KOVOX_APT_RETRY_SECONDS:-20}"
  done
  echo "Going on with the package indexes apt has." >&2
  return 1
}
install_missing

# The Windows builds link libext2fs and zstd's decompressor, which Debian ships for MinGW only as
# source: the pinned versions of e2fsprogs' and libzstd's source packages, unpacked once into
# build/sources, where CMake finds them. apt checks the files against the archive's signed index,
# and dpkg-source checks them against the .dsc and the .dsc's signature against Debian's keyring.
# fetch_source PACKAGE VERSION FILE: FILE is one the unpacked source must hold.
fetch_source() {
  local package=$1 version=$2 source=build/sources/$1-$2
  [ -f "$source/$3" ] && return
  if ! apt-get source --print-uris -qq "$package=$version" 2>/dev/null | grep -q "\.dsc'"; then
    add_source_entry "$package"
  fi
  local download
  download=$(mktemp -d)
  chmod 755 "$download"  # apt downloads as its own user
  (cd "$download" && apt-get source --download-only -qq "$package=$version" >/dev/null)
  rm -rf "$source"
  mkdir -p build/sources
  dpkg-source --require-valid-signature -x "$download/${package}_${version#*:}.dsc" "$source" >/dev/null
  rm -rf "$download"
}

# apt fetches source packages only where a deb-src entry names an archive: the entry that already
# serves this machine's binary packages from Debian's main archive, copied as deb-src. No other
# archive is added.
add_source_entry() {
  local entries=/etc/apt/sources.list.d/kovox-debian-src.sources
  if [ "$(id -u)" -ne 0 ]; then
    echo "apt needs a deb-src entry for Debian's archive to fetch $1's source; run this as root." >&2
    exit 1
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # The first deb822 stanza of Debian's main archive (not the security archive).
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ && /URIs:[^\n]*debian/ && !/debian-security/ && !done {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print; done = 1 }' \
        /etc/apt/sources.list.d/debian.sources >"$entries"
  else
    grep -hE '^deb [^#]*debian' /etc/apt/sources.list | grep -v debian-security | head -n 1 |
      sed 's/^deb /deb-src /' >"${entries%.sources}.list"
    rm -f "$entries"
    entries=${entries%.sources}.list
  fi
  [ -s "$entries" ] || { echo "No apt entry for Debian's archive to copy as deb-src." >&2; rm -f "$entries"; exit 1; }
  update_package_indexes || true
}

case "$job" in
  test | bench)
    fetch_source e2fsprogs "$(cat scripts/e2fsprogs-version)" lib/ext2fs/ext2fs.h
    fetch_source libzstd "$(cat scripts/libzstd-version)" lib/zstd.h
    ;;
esac
