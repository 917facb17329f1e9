#!/usr/bin/env bash
# No file of src/ includes a header from a layer above its own: files, then
# text, then the engine's rooms in this order, then the command line.
set -euo pipefail
cd "$(dirname "$0")/../src"
layers=(
    "fileio confineddirectory temporaryfiles filereplacement runlock"
    "buildpaths textscan pathrules cachereply replytext contenthash mappingnote hosttable includedirectories"
    runreport keptstore containertable builddirectory databasemap planner sysrootcopy replywriter cmakeapimapper buildwatch
    "printmap streamfilter" main
)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [[ " ${layers[i]} " == *" $1 "* ]] && { echo "$i"; return; }
    done
    echo "src/$1 is in no layer" >&2
    exit 1
}
status=0
for file in *.h *.cpp; do
    own=$(rank "${file%.*}")
    for header in $(sed -n 's/^#include "\([a-z]*\)\.h"/\1/p' "$file"); do
        if (($(rank "$header") > own)); then
            echo "src/$file includes $header.h, a layer above its own"
            status=1
        fi
    done
done
exit $status
