#!/usr/bin/env bash
# Builds the installer and the package tool, then shows on a demo root what
# the installer does:
#   1. an upgrade run installs uploaded packages, made and signed here with
#      the development key: a core package, one that needs it, a bundle of
#      two packages, and two packages in conflict;
#   2. --show lists them;
#   3. a disable scheduled under /ram/pdb/ is carried out by the next run;
#   4. a newer core package goes in with --safe, which leaves the changes in
#      /ram/MANIFEST;
#   5. --commit carries them out.
#
#   scripts/demo.sh [root]      (default root: /tmp/velmora-demo)
#
# The installer enters the root with chroot, which needs root. Run as root,
# or as a user who may create user namespaces (the demo then runs the
# installer under `unshare -r`). DEMO_BUILD_DIR chooses another build
# directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."

root=${1:-/tmp/velmora-demo}
build=${DEMO_BUILD_DIR:-build}
marker=.velmora-demo
key=keys/development.key

say() { printf '\n==> %s\n' "$*"; }
note() { printf '    %s\n' "$@"; }

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

say "Building the installer and the package tool in $build/"
cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target installer vpa
started=$SECONDS

say "Laying out the demo root $root"
if [[ -e $root && ! -e $root/$marker ]] && [[ -n $(ls -A "$root" 2>/dev/null) ]]; then
    echo "demo: $root exists and is not a demo root; choose another path" >&2
    exit 1
fi
rm -rf -- "$root"
mkdir -p "$root"/flash/var/pdb "$root"/flash/boot "$root"/flash/rw/pckg "$root"/ram "$root"/rw
touch "$root/$marker"
note "flash/var/pdb/   the package database (empty: no package installed yet)" \
     "flash/rw/pckg/   where package files are uploaded" \
     "flash/boot/      the boot volume" \
     "ram/, rw/        the volatile and the writable volumes"

work=$(mktemp -d /tmp/velmora-demo-package-XXXXXX)
trap 'rm -rf -- "$work"' EXIT
upload=$root/flash/rw/pckg

# make_tree DIR FILE CONTENT...: a small directory tree to pack.
make_tree() {
    local dir=$work/$1
    shift
    while (($# >= 2)); do
        mkdir -p "$(dirname "$dir/$1")"
        printf '%s\n' "$2" >"$dir/$1"
        shift 2
    done
}

# package NAME VERSION [vpa build options]: builds and signs NAME-VERSION.vpa in
# the work directory from the tree of the same name.
package() {
    local name=$1 version=$2
    shift 2
    "$build/vpa" build -o "$work/$name-$version.vpa" --name "$name" --version "$version" \
        --key "$key" "$@" "$work/$name-$version"
}

run_installer() {
    echo "+ installer $*"
    local status=0
    "${as_root[@]}" "$build/installer" "$@" || status=$?
    echo "    (exit status $status)"
}

say "Making packages with '$build/vpa', signed with the development key $key"
make_tree stavel-6.1 etc/motd "Welcome to Velmora 6.1" bin/hello '#!/bin/sh'
chmod 755 "$work/stavel-6.1/bin/hello"
package stavel 6.1 --note "core system" --keep-image
make_tree routing-6.1 bin/routed "routing daemon"
package routing 6.1 --dep stavel:6.1:0 --note "needs stavel 6.1 or later"
make_tree ping-6.1 bin/ping "ping"
make_tree trace-6.1 bin/trace "traceroute"
package ping 6.1 --dep stavel:6.1:0
package trace 6.1 --dep stavel:6.1:0
# The members of a bundle stay known through the bundle's kept image.
"$build/vpa" bundle -o "$work/tools-6.1.vpa" --name tools --version 6.1 --keep-image \
    --note "ping and trace" "$work/ping-6.1.vpa" "$work/trace-6.1.vpa"
make_tree ntp-6.1 bin/ntpd "ntp daemon"
package ntp 6.1 --note "time client"
make_tree chrony-4.0 bin/chronyd "chrony daemon"
package chrony 4.0 --conflicts ntp --note "time client, conflicts with ntp"
cp "$work"/{stavel-6.1,routing-6.1,tools-6.1,ntp-6.1,chrony-4.0}.vpa "$upload/"
note "stavel-6.1    the core package; keeps its package file as its image" \
     "routing-6.1   requires stavel 6.1 or later" \
     "tools-6.1     a bundle ('vpa bundle') of the packages ping-6.1 and trace-6.1" \
     "ntp-6.1       a time client" \
     "chrony-4.0    another time client; conflicts with ntp, so only one can be enabled" \
     "All five files are uploaded to flash/rw/pckg/."

say "1. The upgrade run: 'installer -r ROOT' with no mode option"
note "It checks each package's signature, installs the uploads so that a package" \
     "comes after those it needs, and carries out all changes in one step at the" \
     "end. While a package is read, a progress bar on the status line fills up;" \
     "these packages are tiny, so it flashes by and only the messages stay. The" \
     "messages are kept in flash/postlog too."
if [[ ! -t 1 ]]; then
    note "(Standard output is no terminal here: the status line's carriage returns" \
         "and cursor sequences show up in the output as they are.)"
fi
run_installer -r "$root"
note "chrony declares the conflict, so it was installed first; ntp, installed after" \
     "it, was installed disabled: its files went to flash/x/ntp/, not into place." \
     "Files on the flash now (besides the package database var/pdb/):"
(cd "$root/flash" && find . -mindepth 1 -path ./var/pdb -prune -o -type f -print | sort |
    sed 's|^\./|      |')
note "stavel's package file moved into the database as its image; the other" \
     "uploads stay in flash/rw/pckg/, where each later run would offer them again" \
     "(and skip them as installed). The demo deletes them now."
find "$upload" -mindepth 1 -delete

say "2. Listing the installed packages: 'installer -r ROOT --show'"
note "X marks a disabled package, B a member of a bundle."
run_installer -r "$root" --show

say "3. Scheduling an action: 'disable' written to ROOT/ram/pdb/routing/schedule"
mkdir -p "$root/ram/pdb/routing"
echo disable >"$root/ram/pdb/routing/schedule"
note "The router's user interface writes such files (uninstall, enable or disable);" \
     "the next run of the installer, here a plain upgrade run with nothing" \
     "uploaded, carries them out."
run_installer -r "$root"
note "The database keeps the choice: flash/var/pdb/routing/disabled holds '$(cat "$root/flash/var/pdb/routing/disabled")'." \
     "The installer only reads the schedule; as long as it is there, every run" \
     "disables routing again. The demo removes it now."
rm -rf -- "$root/ram/pdb"
run_installer -r "$root" --show

say "4. A two-phase upgrade: stavel 6.2 is uploaded and installed with --safe"
make_tree stavel-6.2 etc/motd "Welcome to Velmora 6.2" bin/hello '#!/bin/sh'
chmod 755 "$work/stavel-6.2/bin/hello"
package stavel 6.2 --note "core system" --keep-image
cp "$work/stavel-6.2.vpa" "$upload/"
run_installer -r "$root" --safe
note "Nothing on the flash changed yet: flash/etc/motd still says" \
     "'$(cat "$root/flash/etc/motd")'. The new files wait in temporary files, and the" \
     "changes are listed in ROOT/ram/MANIFEST (M: move into place, U: remove, L: link):"
sed -n '1,8s/^/      /p' "$root/ram/MANIFEST"
lines=$(wc -l <"$root/ram/MANIFEST")
if ((lines > 8)); then note "  ... ($lines lines)"; fi

say "5. Committing: 'installer --commit', run inside the root"
note "--commit and --cancel do not take -r: they act on /ram/MANIFEST of the system" \
     "they run on. The demo copies the installer and its libraries into the root" \
     "and starts it there with chroot, as the router would run it."
cp "$build/installer" "$root/installer"
ldd "$build/installer" | grep -o '/[^ ]*' | sort -u | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done
echo "+ chroot ROOT /installer --commit"
status=0
"${as_root[@]}" chroot "$root" /installer --commit || status=$?
echo "    (exit status $status)"
note "flash/etc/motd now says '$(cat "$root/flash/etc/motd")'; the manifest stays in ram/."
run_installer -r "$root" --show

say "The postlog flash/postlog: the messages of the runs, kept on the flash"
tr -d '\0' <"$root/flash/postlog" | sed 's/^/    /'

say "Done in $((SECONDS - started)) s after the build. The demo root stays at $root."
