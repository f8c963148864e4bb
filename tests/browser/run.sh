#!/usr/bin/env bash
# Runs the browser tests: installs puppeteer-core (the lock file's versions; it downloads no
# browser) into BUILD/browser, then Node's test runner there, against BUILD/bin/tavolin.
#   run.sh BUILD
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$build/browser
mkdir -p "$work"
cp "$here"/package.json "$here"/package-lock.json "$here"/*.test.mjs "$work"/
cd "$work"
# Installed again only when the lock file changed since the last install.
if ! cmp -s package-lock.json node_modules/.tavolin-lock 2>/dev/null; then
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.tavolin-lock
fi
export TAVOLIN="$build/bin/tavolin" WEB_DUMPS="$build/web_dumps" SHOTS="$build/browser-screenshots"
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
exec node --test --test-concurrency=1 ./*.test.mjs
