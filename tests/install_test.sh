#!/bin/sh
# install_test.sh BUILD_DIR: `cmake --install` to /usr/local, under a DESTDIR
# whose name a glob or a CMake list would misread, gives units that start
# what that install put in place; and the uninstall target takes back the
# files it added and the folders it created, after one install or two, and
# nothing else: not other software's files beside them, not empty folders
# that were there before.  The build's own install record is kept as it was.
set -eu
build=$(cd "$1" && pwd)
root=$(mktemp -d "/tmp/sensmon-test [1];*.XXXXXX")
record="$build/install_manifest.txt $build/install_folders.txt"
for file in $record; do [ ! -e "$file" ] || cp -p "$file" "$root.${file##*/}"; done
restore() {
    for file in $record; do
        if [ -e "$root.${file##*/}" ]; then mv "$root.${file##*/}" "$file"; else rm -f "$file"; fi
    done
    rm -rf "$root"
}
trap restore EXIT
fail() { echo "install_test: $*"; exit 1; }

# /usr/local as Debian lays it out (hier(7)), two empty folders of the
# install's, and other software's files where the install puts its own.
for folder in bin etc games include lib sbin share/man src share/doc libexec; do mkdir -p "$root/usr/local/$folder"; done
ln -s share/man "$root/usr/local/man"
mkdir -p "$root/usr/local/share/man/man1" "$root/usr/local/lib/systemd/system"
echo other >"$root/usr/local/share/man/man1/other.1"
echo other >"$root/usr/local/lib/systemd/system/other.service"
before=$(cd "$root" && find . | sort)

for install in first second; do
    DESTDIR=$root cmake --install "$build" --prefix /usr/local >/dev/null
done
units=$root/usr/local/lib/systemd/system
grep -qx 'ExecStart=/usr/local/bin/sensmon' "$units/sensmon.service" ||
    fail "sensmon.service has $(grep '^ExecStart=' "$units/sensmon.service")"
for program in $(sed -n 's|^Exec[A-Za-z]*=[-+@!:]*\(/[^ ]*\).*|\1|p' "$units"/*.service); do
    [ -x "$root$program" ] || fail "a unit names $program, which the install did not put in place"
done

DESTDIR=$root cmake --build "$build" --target uninstall >/dev/null
after=$(cd "$root" && find . | sort)
[ "$after" = "$before" ] || fail "the uninstall left behind: $(echo "$after" | grep -vxF "$before" | tr '\n' ' ')," \
    "and took: $(echo "$before" | grep -vxF "$after" | tr '\n' ' ')"
