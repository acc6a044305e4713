#!/usr/bin/env bash
# Runs a command that trusts the test CA as if it were in the system trust store,
# without touching the machine's own store: inside a new private mount namespace the
# CA file is bind-mounted over the system bundle, and only that namespace sees it.
# Usage: with_test_ca.sh CA.pem command [args...]   (needs root, or a user namespace)
set -euo pipefail
ca=$(readlink -f "$1"); shift
bundle=/etc/ssl/certs/ca-certificates.crt
exec unshare --mount --propagation private -- bash -c '
  set -e
  mount --bind "$1" "$2"
  shift 2
  exec "$@"
' _ "$ca" "$bundle" "$@"
