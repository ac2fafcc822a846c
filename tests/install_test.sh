#!/bin/sh
# install_test.sh BUILD_DIR: `cmake --install` to /usr/local, under a DESTDIR,
# gives units that start what that install put in place, and the uninstall
# target takes back all it added, folders included, and nothing else.  The
# build's own install manifest is kept as it was.
set -eu
build=$(cd "$1" && pwd)
root=$(mktemp -d /tmp/sensmon-test-XXXXXX)
manifest=$build/install_manifest.txt
[ ! -e "$manifest" ] || cp -p "$manifest" "$root.manifest"
restore() {
    if [ -e "$root.manifest" ]; then mv "$root.manifest" "$manifest"; else rm -f "$manifest"; fi
    rm -rf "$root"
}
trap restore EXIT
fail() { echo "install_test: $*"; exit 1; }

# /usr/local as Debian lays it out (hier(7)).
for folder in bin etc games include lib sbin share/man src; do mkdir -p "$root/usr/local/$folder"; done
ln -s share/man "$root/usr/local/man"
before=$(cd "$root" && find . | sort)

DESTDIR=$root cmake --install "$build" --prefix /usr/local >/dev/null
units=$root/usr/local/lib/systemd/system
grep -qx 'ExecStart=/usr/local/bin/sensmon' "$units/sensmon.service" ||
    fail "sensmon.service has $(grep '^ExecStart=' "$units/sensmon.service")"
for program in $(sed -n 's|^Exec[A-Za-z]*=[-+@!:]*\(/[^ ]*\).*|\1|p' "$units"/*.service); do
    [ -x "$root$program" ] || fail "a unit names $program, which the install did not put in place"
done

DESTDIR=$root cmake --build "$build" --target uninstall >/dev/null
after=$(cd "$root" && find . | sort)
[ "$after" = "$before" ] || fail "the uninstall left behind: $(echo "$after" | grep -vxF "$before" | tr '\n' ' ')"
