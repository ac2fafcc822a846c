#!/bin/sh
# Each program given must need the C library and nothing else.
status=0
for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    if [ "$needed" != "libc.so.6 " ]; then
        echo "$program needs: ${needed:-nothing}(only libc.so.6 is allowed)"
        status=1
    fi
done
exit $status
