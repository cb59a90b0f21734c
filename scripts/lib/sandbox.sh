# Sourced by the project's scripts. Runs a command in a private network and
# mount namespace: only loopback exists, and the update server's host name
# (and a few test names) resolve to 127.0.0.1 through a private /etc/hosts.
# The machine's own /etc/hosts is untouched. Needs root.
#
#   quarn_sandbox <build-dir> <update-host> cmd args...
#
# The command sees QUARN_SANDBOXED=1. The Wine prefix is the build's, or the
# one named by QUARN_WINEPREFIX (or WINEPREFIX).

quarn_sandbox() {
  local build="$1" host="$2"; shift 2
  if [ "$(id -u)" -ne 0 ]; then
    echo "The hermetic network needs root (unshare -mn)." >&2
    return 1
  fi
  mkdir -p "$build/sandbox"
  local hosts="$build/sandbox/hosts"
  {
    echo "127.0.0.1 localhost"
    echo "127.0.0.1 $host"
    echo "127.0.0.1 origin.test proxy.test"
    echo "::1 localhost ip6-localhost"
  } > "$hosts"
  # Wine programs inside must talk to a wineserver of the sandbox: one left
  # running outside would create their sockets outside. Let it save the
  # registry and go; end it only if it will not.
  local prefix="${WINEPREFIX:-${QUARN_WINEPREFIX:-$build/wineprefix}}"
  if ! WINEPREFIX="$prefix" timeout 20 wineserver -w >/dev/null 2>&1; then
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  fi
  QUARN_SANDBOX_HOSTS="$(cd "$(dirname "$hosts")" && pwd)/hosts" unshare -mn bash -c '
    set -e
    ip link set lo up
    mount --bind "$QUARN_SANDBOX_HOSTS" /etc/hosts
    export QUARN_SANDBOXED=1
    exec "$@"' quarn-sandbox "$@"
}
