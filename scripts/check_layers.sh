#!/usr/bin/env bash
# Fails when a folder includes a folder above it. Includes point down only;
# folders of one layer may include each other. Layers, lowest first:
#
#   0  support/  platform/  resources/
#   1  package/
#   2  app/  engine/
#   3  ui/  tools/  app/win32/ (WinMain: the updater program that shows the window)
#
# Usage: scripts/check_layers.sh [root]   (default: the tree this script is in)

set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layer_of() {
    case "$1" in
        app/win32/*) echo 3 ;;
        support/* | platform/* | resources/*) echo 0 ;;
        package/*) echo 1 ;;
        app/* | engine/*) echo 2 ;;
        ui/* | tools/*) echo 3 ;;
        *) echo "" ;;
    esac
}

folders=(support platform resources package app engine ui tools)
violations=0
checked=0
while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    included=$(sed -E 's/.*"([^"]+)".*/\1/' <<<"$rest")
    target=$(layer_of "$included")
    [[ -z $target ]] && continue  # a header beside the file, or outside the layers
    checked=$((checked + 1))
    own=$(layer_of "$file")
    if ((target > own)); then
        echo "$file:$line: includes $included, a layer above ${file%%/*}/" >&2
        violations=$((violations + 1))
    fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "${folders[@]}" \
             --include='*.h' --include='*.cpp' --include='*.rc' | sort)

if ((violations > 0)); then
    echo "check_layers: $violations include(s) point up (support, platform, resources < package < app, engine < ui, tools)" >&2
    exit 1
fi
echo "check_layers: $checked includes point down or sideways"
