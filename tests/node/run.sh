#!/bin/sh
# test_pjlink_client: pjlink_peer.js under node, or SKIP (status 77) where
# there is no node.   run.sh NODE QM25D QM25_SIM NODE_MODULES
node="$1"
shift
if [ ! -x "$node" ]; then
  echo "SKIP: node is not installed (scripts/setup.sh installs it)"
  exit 77
fi
if [ ! -d "$3/pjlink" ]; then
  echo "The npm package pjlink is not in $3: the build's npm ci failed (see the build's output)." >&2
  exit 1
fi
exec "$node" "$(dirname "$0")/pjlink_peer.js" "$@"
