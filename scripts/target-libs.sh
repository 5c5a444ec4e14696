#!/usr/bin/env bash
# Unpacks Debian library packages of another architecture into DIR, the
# private library root of a cross or 32-bit build (TARGET_LIBS_DIR in
# cmake/toolchain-*.cmake), without installing them. Installed beside the
# host's own, a Multi-Arch library must have exactly the host's version, and
# the two drift apart: the security archive builds no s390x packages, so
# libssl-dev:s390x cannot be installed next to the host's updated libssl-dev,
# and installing the :i386 ones would upgrade the host's.
#
#   scripts/target-libs.sh ARCH DIR PACKAGE...
#
# Adds ARCH to dpkg for its package lists when it is missing (as root, or
# through sudo). Does nothing when DIR already holds these packages.
set -euo pipefail

arch=$1
dir=$(realpath -m "$2")
shift 2
want="$arch $*"

if [[ -f $dir/.packages && $(<"$dir/.packages") == "$want" ]]; then
    echo "target-libs: $dir holds $*"
    exit 0
fi

root() {
    if [[ $(id -u) -eq 0 ]]; then
        env DEBIAN_FRONTEND=noninteractive "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo env DEBIAN_FRONTEND=noninteractive "$@"
    else
        echo "target-libs: adding the $arch package lists needs root; run as root or install sudo" >&2
        exit 1
    fi
}

update=0
if [[ $arch != "$(dpkg --print-architecture)" ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    root dpkg --add-architecture "$arch"
    update=1
fi
if ! apt-cache show "$1:$arch" >/dev/null 2>&1; then
    update=1
fi
if ((update)); then
    root apt-get update
fi

rm -rf "$dir"
mkdir -p "$dir/debs"
# Root or not, the files go straight into our own directory.
download() { (cd "$dir/debs" && apt-get download -o APT::Sandbox::User="$(id -un)" "${@/%/:$arch}"); }
if ! download "$@"; then
    # Package lists older than the archive name files that are gone.
    root apt-get update
    download "$@"
fi
for deb in "$dir"/debs/*.deb; do
    dpkg-deb -x "$deb" "$dir"
done
rm -rf "$dir/debs"
# Merge lib/ into usr/lib/ as the host does, so that a library's run-time
# file (lib/.../libz.so.1) sits beside its link-time name (usr/lib/.../libz.so),
# and point absolute links (libz.so -> /lib/...) into DIR.
if [[ -d $dir/lib ]]; then
    mkdir -p "$dir/usr/lib"
    cp -a "$dir/lib/." "$dir/usr/lib/"
    rm -rf "$dir/lib"
fi
ln -s usr/lib "$dir/lib"
find "$dir" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    ln -sfn "$dir$(readlink "$link")" "$link"
done
echo "$want" >"$dir/.packages"
echo "target-libs: unpacked $* ($arch) into $dir"
