#!/bin/sh
# uninstall.sh BUILD_DIR: takes back what the last install from BUILD_DIR put
# in place: the files that its install_manifest.txt lists, under $DESTDIR as
# the install had them, then the folders that install_folders.txt says it
# created, deepest first, each only once it is empty.  Nothing else is
# removed, and nothing recursively; any path is taken as it stands.
set -eu
manifest=$1/install_manifest.txt
folders=$1/install_folders.txt
if ! grep -q '/bin/sensmon$' "$manifest" 2>/dev/null; then
    echo "uninstall: $manifest lists no bin/sensmon: nothing of this project to remove" >&2
    exit 1
fi
while IFS= read -r file || [ -n "$file" ]; do
    [ -z "$file" ] || rm -f -- "${DESTDIR:-}$file"
done <"$manifest"
if [ -f "$folders" ]; then
    sort -r "$folders" | while IFS= read -r folder; do
        rmdir -- "$folder" 2>/dev/null || true  # still holds files of others: it stays
    done
fi
echo "uninstall: removed what $manifest lists, and the folders that install created"
