#!/usr/bin/env bash
# Installs what the HTML report's build and its browser test need: the page's
# scripts from npm into web/node_modules (exactly the versions in
# web/package-lock.json; the build embeds them) and Debian's chromium, which
# the browser test drives through playwright-core. Run as root or through sudo
# (for the browser). Does nothing when both are already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
web=$(cd "$(dirname "$0")/../web" && pwd)

if ! dpkg-query -W -f='${Status}' chromium 2>/dev/null | grep -q 'install ok installed'; then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends chromium >/dev/null
fi

# npm ci empties node_modules and installs again, so it runs only when the
# installed tree is not the one the lock file describes.
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.package-lock.json.installed" 2>/dev/null; then
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$web/package-lock.json" "$web/node_modules/.package-lock.json.installed"
fi
