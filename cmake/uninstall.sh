#!/bin/sh
# uninstall.sh BUILD_DIR PREFIX: takes back the install from BUILD_DIR that
# went to this $DESTDIR (absolute: the uninstall runs in BUILD_DIR) and
# PREFIX, as BUILD_DIR/install_record.txt has it: the files it put in place, then the
# folders it created, deepest first, each only once it is empty.  Refuses if
# the record is of an install elsewhere, or there is none.  Nothing outside
# the recorded install is removed, and nothing recursively; any path is taken
# as it stands.
set -eu
absolute() { case $1 in /*) printf '%s' "$1" ;; '') ;; *) printf '%s/%s' "$PWD" "$1" ;; esac; }
trim() { while :; do case $1 in ?*/) set -- "${1%/}" ;; *) break ;; esac; done; printf '%s' "$1"; }
record=$1/install_record.txt
case ${DESTDIR:-/} in
/*) ;;
*)
    echo "uninstall: DESTDIR '$DESTDIR' is relative, and the uninstall runs in $1: give it as an absolute path" >&2
    exit 1 ;;
esac
prefix=$(trim "$(absolute "$2")") destdir=$(trim "$(absolute "${DESTDIR:-}")")
if [ ! -f "$record" ]; then
    echo "uninstall: $record: no record of an install from this build: nothing removed" >&2
    exit 1
fi
was=$(head -n 2 "$record")
if [ "$was" != "$(printf 'destdir %s\nprefix %s' "$destdir" "$prefix")" ]; then
    echo "uninstall: the install recorded went to DESTDIR '$(sed -n '1s/^destdir //p' "$record")'" \
        "and prefix '$(sed -n '2s/^prefix //p' "$record")', not DESTDIR '$destdir' and prefix '$prefix'" \
        "(the build's CMAKE_INSTALL_PREFIX): nothing removed" >&2
    exit 1
fi
root=$destdir$prefix
removed=0
while IFS= read -r line; do
    case $line in
    "file $root/"*)
        rm -f -- "${line#file }"
        removed=$((removed + 1)) ;;
    "file "*) echo "uninstall: not under $root, left alone: ${line#file }" >&2 ;;
    esac
done <"$record"
kept=$(grep '^folder ' "$record" | LC_ALL=C sort -r | while IFS= read -r line; do
    folder=${line#folder }
    rmdir -- "$folder" 2>/dev/null || [ ! -d "$folder" ] || printf ' %s' "$folder"
done)
rm -f "$record"
echo "uninstall: removed the $removed files that the install put under $root, and the folders it created"
[ -z "$kept" ] || echo "uninstall: kept the folders that now hold other files too:$kept"
