#!/usr/bin/env bash
# Installs missing dependencies, builds with the given preset (default: "default") and runs
# every test through ctest.
set -euo pipefail
preset=${1:-default}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
