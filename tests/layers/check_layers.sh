#!/usr/bin/env bash
# Fails when a source folder includes a header from a folder above it, or from a folder
# that is not in the layer graph. The graph is the one src/CMakeLists.txt links:
#   core, av -> audio -> engine -> state -> scopes, loudness -> analysis -> ui -> app
# Usage: check_layers.sh SRC_DIR   (prints every offending line, exit 1 if any)
set -euo pipefail
src=${1:?usage: check_layers.sh SRC_DIR}
src=${src%/}

# What each folder may include besides itself.
declare -A allowed=(
    [core]=""
    [av]="core"
    [audio]="core av"
    [engine]="core av audio"
    [state]="core av audio engine"
    [scopes]="core av audio engine state"
    [loudness]="core av audio engine state"
    [analysis]="core av audio engine state scopes loudness"
    [ui]="core av audio engine state scopes loudness analysis"
    [app]="core av audio engine state scopes loudness analysis ui"
)
# Folders that may use Qt Widgets; below them a widget header is a layering fault too.
widget_folders="ui app"

status=0
for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [[ ! -v allowed[$folder] ]]; then
        echo "check_layers: src/$folder is not in the layer graph" >&2
        status=1
        continue
    fi
    while IFS= read -r hit; do
        [[ -n $hit ]] || continue
        file=${hit%%:*}
        rest=${hit#*:}
        line=${rest%%:*}
        target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$rest")
        [[ $target == "$folder" ]] && continue
        if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
            echo "check_layers: ${file#"$src"/}:$line includes from $target/, above or beside $folder/" >&2
            status=1
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^/"]+/' -H "$dir"*.h "$dir"*.cpp 2>/dev/null || true)
    if [[ " $widget_folders " != *" $folder "* ]]; then
        while IFS= read -r hit; do
            [[ -n $hit ]] || continue
            echo "check_layers: ${hit#"$src"/} uses Qt Widgets below the ui layer" >&2
            status=1
        done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+<(QtWidgets/.*|Q(Widget|Label|ComboBox|Slider|StackedWidget|PushButton|Dialog|MainWindow|MessageBox|ProgressBar|GraphicsOpacityEffect|Application|FileDialog|VideoWidget))>' "$dir"*.h "$dir"*.cpp 2>/dev/null || true)
    fi
done
if (( status == 0 )); then
    echo "check_layers: every include points down the layer graph"
fi
exit "$status"
