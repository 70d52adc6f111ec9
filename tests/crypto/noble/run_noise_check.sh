#!/bin/sh
# Installs the pinned @noble/post-quantum into the build tree (never the source tree) and runs the
# independent responder against our initiator. Exits 77 (test skipped) only when npm or its
# registry cannot be reached; any other failure fails the test.
# Usage: run_noise_check.sh <install folder> <noise_tool>
set -u
prefix=$1
tool=$2
here=$(cd "$(dirname "$0")" && pwd)
skip=77

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "SKIPPED: node/npm not found; the Noise transcript check did not run"
  exit $skip
fi

mkdir -p "$prefix" || exit 1
cp "$here/package.json" "$here/noise_responder.mjs" "$prefix/" || exit 1

installed=$(node -e 'try { console.log(require(process.argv[1]).version) } catch { }' \
  "$prefix/node_modules/@noble/post-quantum/package.json")
if [ "$installed" != "0.7.1" ]; then
  log="$prefix/npm-install.log"
  if ! npm install --no-audit --no-fund --no-save --fetch-retries=1 --fetch-retry-mintimeout=2000 \
    --fetch-retry-maxtimeout=10000 --prefix "$prefix" >"$log" 2>&1; then
    cat "$log"
    if ! npm ping --fetch-retries=0 --fetch-timeout=20000 >/dev/null 2>&1; then
      echo "SKIPPED: the npm registry is unreachable; the Noise transcript check did not run"
      exit $skip
    fi
    echo "npm install of @noble/post-quantum@0.7.1 failed although the registry answers"
    exit 1
  fi
fi

# The script sits next to node_modules so that its import resolves there.
exec node "$prefix/noise_responder.mjs" "$tool"
