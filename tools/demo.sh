#!/usr/bin/env bash
# Runs kelpi_install on a demo directory (default: ./demo) with the library's
# US English catalogue beside it, then shows where its logs are.
set -euo pipefail

dir=${1:-demo}
build=${BUILD:-build/default}
mkdir -p "$dir"
# The driver asks for the en_US catalogue in the directory it is given.
cp -r "$build/share/kavrel/msgs/en_US" "$dir/"
status=0
"$build/driver/kelpi_install" "$dir" || status=$?
echo
echo "exit status: $status"
echo "message log: $dir/kelpi_install.log ($(wc -l <"$dir/kelpi_install.log") lines)"
echo "result log:  $dir/qx_tavro.log"
echo "--- $dir/qx_tavro.log"
cat "$dir/qx_tavro.log"
exit "$status"
