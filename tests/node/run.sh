#!/bin/sh
# test_pjlink_client and test_web_browser: a script of this folder under
# node, or SKIP (status 77) where node, or the browser a script needs, is
# not installed.   run.sh NODE SCRIPT MODULE NODE_MODULES [ARGS...]
# MODULE: the npm package the script needs; the script gets NODE_MODULES
# and ARGS.
node="$1" script="$2" module="$3" modules="$4"
shift 4
if [ ! -x "$node" ]; then
  echo "SKIP: node is not installed (scripts/setup.sh installs it)"
  exit 77
fi
if [ "$module" = puppeteer-core ] && [ ! -x /usr/bin/chromium ]; then
  echo "SKIP: chromium is not installed (scripts/setup.sh installs it)"
  exit 77
fi
if [ ! -d "$modules/$module" ]; then
  echo "The npm package $module is not in $modules: the build's npm ci failed (see the build's output)." >&2
  exit 1
fi
exec "$node" "$(dirname "$0")/$script" "$modules" "$@"
