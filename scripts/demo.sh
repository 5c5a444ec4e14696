#!/usr/bin/env bash
# Builds the installer and runs its main job, the upgrade run, on a demo
# root: a package file uploaded to /flash/rw/pckg/ is installed into an empty
# package database. Then lists the installed packages there.
#
#   scripts/demo.sh [root]      (default root: /tmp/velmora-demo)
#
# The installer enters the root with chroot, which needs root. Run as root,
# or as a user who may create user namespaces (the demo then runs the
# installer under `unshare -r`).
set -euo pipefail
cd "$(dirname "$0")/.."

root=${1:-/tmp/velmora-demo}
marker=.velmora-demo

say() { printf '\n==> %s\n' "$*"; }

case $root in
    /*) ;;
    *) root=$PWD/$root ;;
esac
if [[ $(realpath -m "$root") == / ]]; then
    echo "demo: the demo root must not be /: the installer would act on this machine" >&2
    exit 1
fi

if [[ $(id -u) -eq 0 ]]; then
    as_root=()
elif unshare -r true 2>/dev/null; then
    as_root=(unshare -r)
else
    echo "demo: entering the demo root needs chroot: run as root, or enable unprivileged" >&2
    echo "      user namespaces so that 'unshare -r' works" >&2
    exit 1
fi

say "Checking build dependencies"
scripts/setup.sh

# The router's environment, not the caller's, decides these.
unset arch bootimage

say "Building the installer and the package tool in build/"
cmake -S . -B build -G Ninja
cmake --build build --target installer vpa

say "Laying out the demo root $root"
if [[ -e $root && ! -e $root/$marker ]] && [[ -n $(ls -A "$root" 2>/dev/null) ]]; then
    echo "demo: $root exists and is not a demo root; choose another path" >&2
    exit 1
fi
rm -rf -- "$root"
mkdir -p "$root"/flash/var/pdb "$root"/flash/boot "$root"/flash/rw/pckg "$root"/ram "$root"/rw
touch "$root/$marker"
echo "   flash/var/pdb/   the package database (empty: no package installed yet)"
echo "   flash/boot/      the boot volume"
echo "   ram/, rw/        the volatile and the writable volumes"

say "Making a package and uploading it to flash/rw/pckg/"
work=$(mktemp -d /tmp/velmora-demo-package-XXXXXX)
trap 'rm -rf -- "$work"' EXIT
mkdir -p "$work/tree/etc" "$work/tree/bin"
echo "Welcome to Velmora" >"$work/tree/etc/motd"
printf '#!/bin/sh\necho hello from stavel\n' >"$work/tree/bin/hello"
chmod 755 "$work/tree/bin/hello"
echo "+ build/vpa build --name stavel --version 6.1 --keep-image --key keys/development.key ..."
build/vpa build -o "$root/flash/rw/pckg/stavel-6.1.vpa" --name stavel --version 6.1 \
    --note "core system (demo)" --keep-image --key keys/development.key "$work/tree"
echo "   flash/rw/pckg/stavel-6.1.vpa: /etc/motd and /bin/hello, signed with the development key"

run_installer() {
    echo "+ build/installer $*"
    local status=0
    "${as_root[@]}" build/installer "$@" || status=$?
    echo "   exit status: $status"
}

say "The upgrade run: installs uploaded package files and applies scheduled actions"
run_installer -r "$root"

say "Listing the installed packages"
run_installer -r "$root" --show

say "Files in the demo root afterwards"
(cd "$root" && find . -mindepth 1 ! -name "$marker" | sort | sed 's|^\./|   |')
if [[ -f $root/flash/postlog ]]; then
    say "The postlog /flash/postlog"
    sed 's/^/   /' "$root/flash/postlog"
fi
