#!/bin/sh
# The install's own record, for the uninstall target, kept by `cmake --install`:
#   install_record.sh begin RECORD BUILD PREFIX FOLDER...
#       before anything is put in place: note where the install goes ($DESTDIR
#       and PREFIX as absolute paths, relative ones taken from where it runs,
#       as the install takes them) and which folders it creates: each FOLDER
#       under PREFIX that it puts files in, and those above, not there yet
#   install_record.sh end RECORD FILE...
#       once everything is in place: add the files it installed (as the
#       install's manifest names them, without $DESTDIR) and keep the record
# RECORD then reads "destdir D", "prefix P", then "folder F" and "file F"
# lines, as on disk.  An install into the same place takes over what the
# record held of the one before that is still there.  cpack's staging
# installs, into BUILD/_CPack_Packages, leave the record alone.
set -eu
absolute() { case $1 in /*) printf '%s' "$1" ;; '') ;; *) printf '%s/%s' "$PWD" "$1" ;; esac; }
trim() { while :; do case $1 in ?*/) set -- "${1%/}" ;; *) break ;; esac; done; printf '%s' "$1"; }
step=$1 record=$2
shift 2
case $step in
begin)
    build=$1 prefix=$(trim "$(absolute "$2")") destdir=$(trim "$(absolute "${DESTDIR:-}")")
    shift 2
    rm -f "$record.new"
    case $destdir$prefix/ in "$build"/_CPack_Packages/*) exit 0 ;; esac
    case $destdir$prefix in *'
'*)
        echo "install_record: a DESTDIR or prefix with a newline cannot be recorded" >&2
        exit 1 ;;
    esac
    {
        printf 'destdir %s\nprefix %s\n' "$destdir" "$prefix"
        if [ -f "$record" ] && [ "$(head -n 2 "$record")" = "$(printf 'destdir %s\nprefix %s' "$destdir" "$prefix")" ]; then
            tail -n +3 "$record" | while IFS= read -r line; do
                case $line in
                "folder "*) [ ! -d "${line#folder }" ] || printf '%s\n' "$line" ;;
                "file "*) [ ! -e "${line#file }" ] || printf '%s\n' "$line" ;;
                esac
            done
        fi
        for folder; do
            folder=$destdir$prefix/$folder
            while [ -n "$folder" ] && [ ! -d "$folder" ]; do
                printf 'folder %s\n' "$folder"
                folder=${folder%/*}
            done
        done
    } >"$record.new"
    ;;
end)
    [ -f "$record.new" ] || exit 0
    destdir=$(sed -n '1s/^destdir //p' "$record.new")
    {
        head -n 2 "$record.new"
        {
            tail -n +3 "$record.new"
            for file; do printf 'file %s%s\n' "$destdir" "$file"; done
        } | sort -u
    } >"$record.new.sorted"
    rm -f "$record.new"
    mv "$record.new.sorted" "$record"
    ;;
esac
