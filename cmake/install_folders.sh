#!/bin/sh
# install_folders.sh RECORD FOLDER...: run by `cmake --install` before it puts
# anything in place, with SENSMON_PREFIX its prefix.  Notes in RECORD each
# folder that this install will create, as it will be on disk ($DESTDIR
# included): PREFIX/FOLDER and the folders above it that do not exist yet.
# An install over an earlier one takes over the folders that the earlier one
# noted and that are still there.
set -eu
record=$1
shift
{
    if [ -f "$record" ]; then
        while IFS= read -r folder; do
            [ ! -d "$folder" ] || printf '%s\n' "$folder"
        done <"$record"
    fi
    for folder; do
        folder=${DESTDIR:-}$SENSMON_PREFIX/$folder
        while [ -n "$folder" ] && [ ! -d "$folder" ]; do
            printf '%s\n' "$folder"
            folder=${folder%/*}
        done
    done
} | sort -u >"$record.new"
mv "$record.new" "$record"
