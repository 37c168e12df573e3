#!/usr/bin/env bash
# Builds everything and runs the discovery on the bundled demo recording.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
echo "demo: libraries built in build/default; the discovery command is not part of this build yet."
