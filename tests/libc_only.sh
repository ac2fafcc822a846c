#!/bin/sh
# Each program given must need the C library and nothing else.  The dynamic
# loader counts as part of it: on arm64 the stack protector's guard lives
# there, so a hardened program names it too.
status=0
for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
        grep -v -e '^ld-linux.*\.so\.[0-9]*$' -e '^ld64\.so\.[0-9]*$' | tr '\n' ' ')
    if [ "$needed" != "libc.so.6 " ]; then
        echo "$program needs: ${needed:-nothing}(only libc.so.6 and the loader are allowed)"
        status=1
    fi
done
exit $status
