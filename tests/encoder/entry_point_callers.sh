#!/bin/sh
# The device library's entry points are called by encoder/EncoderLink.cpp
# alone (besides the library and the Wine bridge themselves): the window and
# pnv3400ctl reach an encoder through it, never by a call of their own.
# Usage: entry_point_callers.sh SOURCE_DIR
set -u
root=$1
calls='(->|\.)[[:space:]]*(S_Connect|S_Disconnect|ConfigRead|ConfigWrite|DLLClose)[[:space:]]*\('
found=$(cd "$root" && grep -rnE "$calls" app cli common encoder netcheck road widgets --include='*.cpp' --include='*.h' \
    | grep -v '^encoder/EncoderLink\.cpp:')
if [ -n "$found" ]; then
    echo "entry points called outside encoder/EncoderLink.cpp:"
    echo "$found"
    exit 1
fi
# The pattern still finds the calls it guards against.
grep -qE "$calls" "$root/encoder/EncoderLink.cpp" || { echo "the pattern no longer matches EncoderLink.cpp's calls"; exit 1; }
echo "entry points called from encoder/EncoderLink.cpp only"
