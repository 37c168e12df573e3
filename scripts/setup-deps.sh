#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping whatever is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 python3-jsonschema
  libyaml-cpp-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev openssl
  libspdlog-dev libfmt-dev libcli11-dev libsimdjson-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcpp-httplib-dev zlib1g-dev
  curl
  libgraphviz-dev
  # The HTML report's test opens it in headless Chromium over the DevTools protocol, and reads
  # its printed pages back with pdftotext.
  chromium python3-websocket poppler-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The HCL parser the rendering tests check their output with.
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -d "$root/tools/node_modules/@cdktf/hcl2json" ]; then
  echo "setup: installing node test tools"
  (cd "$root/tools" && npm install --no-package-lock --no-audit --no-fund --loglevel=error)
fi
