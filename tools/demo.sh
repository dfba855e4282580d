#!/usr/bin/env bash
# Runs kelpi_install on a demo directory (made if missing). Until the driver
# is part of the build, shows the catalogue compiler there instead.
set -euo pipefail
build=${BUILD:-build/default}
dir=${1:-demo}
mkdir -p "$dir"
if [ -x "$build/driver/kelpi_install" ]; then
  exec "$build/driver/kelpi_install" "$dir"
fi
echo "kelpi_install is not part of this build yet; compiling a sample catalogue in $dir instead."
printf '# sample messages\n1 Hello, %%1!\n2 Gr\xc3\xbc\xc3\x9fe aus %%1\n' >"$dir/sample.txt"
"$build/tools/lcuc" "$dir/sample.txt" "$dir/sample.lcu"
echo "wrote $dir/sample.lcu ($(wc -c <"$dir/sample.lcu") bytes) from $dir/sample.txt"
