#!/bin/sh
# Copies the chart-library scripts that Debian packages provide into the package's js/
# folder, where the renderer inlines them into the dashboard page. Idempotent; copies only
# what is installed and changed, and never fails for a missing file: the pages draw their
# charts themselves without these scripts.
#
#   D3 v3:          apt package libjs-d3 -> /usr/share/javascript/d3/d3.min.js
#   D3 Sankey:      no Debian package; the pages use their own Sankey drawing
#
#   tools/fetch_js.sh [DEST]      (DEST defaults to src/halvex/js)
set -eu
dest=${1:-"$(dirname "$0")/../src/halvex/js"}
mkdir -p "$dest"

copy() {  # copy SRC NAME: SRC into DEST/NAME when SRC exists and differs
    if [ -f "$1" ]; then
        if ! cmp -s "$1" "$dest/$2"; then
            cp "$1" "$dest/$2.tmp" && mv "$dest/$2.tmp" "$dest/$2"
            echo "js: $2 <- $1"
        fi
    else
        echo "js: $2 not available ($1 missing)"
    fi
}

copy "${HALVEX_D3_JS:-/usr/share/javascript/d3/d3.min.js}" d3.min.js
# A Sankey plug-in is used only when a file is named explicitly (none is packaged by Debian).
if [ -n "${HALVEX_D3_SANKEY_JS:-}" ]; then
    copy "$HALVEX_D3_SANKEY_JS" d3-sankey.min.js
fi
