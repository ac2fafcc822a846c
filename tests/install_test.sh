#!/bin/sh
# install_test.sh BUILD_DIR: `cmake --install` to /usr/local, under a DESTDIR
# whose name a glob or a CMake list would misread, gives units that start
# what that install put in place; and the uninstall target takes back the
# files it added and the folders it created, after one install or two with a
# cpack staging install between, and nothing else: not other software's files
# beside them, not empty folders that were there before, not a folder it
# created that holds another file since.  Run without that DESTDIR, or with no
# record, it refuses and removes nothing.  Relative DESTDIR and prefix install
# where they say.  The build's own install record is kept as it was.
set -eu
build=$(cd "$1" && pwd)
root=$(mktemp -d "/tmp/sensmon-test [1];*.XXXXXX")
record="$build/install_manifest.txt $build/install_record.txt"
for file in $record; do [ ! -e "$file" ] || cp -p "$file" "$root.${file##*/}"; done
restore() {
    for file in $record; do
        if [ -e "$root.${file##*/}" ]; then mv "$root.${file##*/}" "$file"; else rm -f "$file"; fi
    done
    rm -rf "$root" "$build/_CPack_Packages/sensmon-test"
}
trap restore EXIT
fail() { echo "install_test: $*"; exit 1; }
tree() { (cd "$root" && find . | sort); }
install() { timeout 20 cmake --install "$build" "$@" >/dev/null || fail "cmake --install $* failed or never ended"; }
uninstall() { cmake --build "$build" --target uninstall 2>&1 | grep '^uninstall: ' || true; }
expect() { case $2 in *"$1"*) ;; *) fail "the uninstall said \"$2\", not \"$1\"" ;; esac; }

# /usr/local as Debian lays it out (hier(7)), two empty folders of the
# install's, and other software's files where the install puts its own.
for folder in bin etc games include lib sbin share/man src share/doc libexec; do mkdir -p "$root/usr/local/$folder"; done
ln -s share/man "$root/usr/local/man"
mkdir -p "$root/usr/local/share/man/man1" "$root/usr/local/lib/systemd/system"
echo other >"$root/usr/local/share/man/man1/other.1"
echo other >"$root/usr/local/lib/systemd/system/other.service"
before=$(tree)

DESTDIR=$root install --prefix /usr/local
DESTDIR=$build/_CPack_Packages/sensmon-test install --prefix /usr
DESTDIR=$root install --prefix /usr/local
units=$root/usr/local/lib/systemd/system
grep -qx 'ExecStart=/usr/local/bin/sensmon' "$units/sensmon.service" ||
    fail "sensmon.service has $(grep '^ExecStart=' "$units/sensmon.service")"
for program in $(sed -n 's|^Exec[A-Za-z]*=[-+@!:]*\(/[^ ]*\).*|\1|p' "$units"/*.service); do
    [ -x "$root$program" ] || fail "a unit names $program, which the install did not put in place"
done

expect "nothing removed" "$(DESTDIR='' uninstall)"
[ -x "$root/usr/local/bin/sensmon" ] || fail "an uninstall without the install's DESTDIR removed what it put there"
echo other >"$root/usr/local/libexec/sensmon/other"
expect "kept the folders that now hold other files too: $root/usr/local/libexec/sensmon" "$(DESTDIR=$root uninstall)"
[ -f "$root/usr/local/libexec/sensmon/other" ] || fail "the uninstall took another program's file"
rm -r "$root/usr/local/libexec/sensmon"
after=$(tree)
[ "$after" = "$before" ] || fail "the uninstall left behind: $(echo "$after" | grep -vxF "$before" | tr '\n' ' ')," \
    "and took: $(echo "$before" | grep -vxF "$after" | tr '\n' ' ')"
expect "no record of an install" "$(DESTDIR=$root uninstall)"

(cd "$root" && DESTDIR=stage install)
[ -x "$root/stage/usr/local/bin/sensmon" ] || fail "DESTDIR=stage did not install under stage"
(cd "$root" && install --prefix inst)
grep -qxF "ExecStart=$root/inst/bin/sensmon" "$root/inst/lib/systemd/system/sensmon.service" ||
    fail "with --prefix inst, sensmon.service has $(grep '^ExecStart=' "$root/inst/lib/systemd/system/sensmon.service")"
