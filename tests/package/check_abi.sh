#!/usr/bin/env bash
# The libraries' binary interface is the one recorded in tests/package/abi: their exported
# functions and variables, the layout of every type and virtual table the public headers show.
# abidiff reports any change, compatible or not, and fails.
#   check_abi.sh BUILD_DIR WORK_DIR            compare the build with the references
#   check_abi.sh BUILD_DIR WORK_DIR --update   record the build as the new references
# A deliberate change of the interface updates the references in the same commit and says why.
set -euo pipefail
build=$1
work=$2
update=${3:-}
references=$(cd "$(dirname "$0")" && pwd)/abi
libraries=(talvo2 corekit2 propstore2 ulib_2_18 notify2 tracelog_1)

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
status=0
for lib in "${libraries[@]}"; do
    so=$(find "$work/prefix/lib" -maxdepth 1 -name "lib$lib.so.*.*.*" | head -n 1)
    if [[ $update == --update ]]; then
        abidw --headers-dir "$work/prefix/include" --drop-private-types --no-corpus-path \
            --no-show-locs --type-id-style hash --out-file "$work/$lib.abi" "$so"
        gzip -9 -n -c "$work/$lib.abi" >"$references/lib$lib.abi.gz"
        echo "recorded lib$lib"
        continue
    fi
    gzip -d -c "$references/lib$lib.abi.gz" >"$work/$lib.abi"
    if ! abidiff --headers-dir2 "$work/prefix/include" --drop-private-types --no-show-locs \
        "$work/$lib.abi" "$so" >"$work/$lib.diff" 2>&1; then
        echo "FAIL: the binary interface of lib$lib changed:"
        cat "$work/$lib.diff"
        status=1
    fi
done
[[ $status -eq 0 && $update != --update ]] && echo "binary interfaces unchanged"
exit $status
