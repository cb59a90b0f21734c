# Sourced by the project's scripts. Prepares Wine for running the 32-bit
# program: picks native execution or qemu-i386 user-mode emulation, builds the
# preload shim for the latter, and creates the per-build Wine prefix once.
#
#   quarn_host_tools <build-dir>    build the 32-bit probe and the shim
#   quarn_wine_env <build-dir>      export WINEPREFIX and friends; create prefix
#                                   (QUARN_WINEPREFIX names another prefix)
#   quarn_wine_hold / quarn_wine_release
#                                   keep one Wine session alive meanwhile

QUARN_BINFMT=/proc/sys/fs/binfmt_misc

quarn_host_tools() {
  local out="$1/host"
  local src; src="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/wine-shim"
  mkdir -p "$out/lib/i386-linux-gnu" "$out/lib/x86_64-linux-gnu"
  if [ ! -x "$out/probe32" ] || [ "$src/probe32.c" -nt "$out/probe32" ]; then
    gcc -m32 -nostdlib -static -O2 -o "$out/probe32" "$src/probe32.c"
  fi
  if [ ! -f "$out/lib/i386-linux-gnu/mmap_shim.so" ] || [ "$src/mmap_shim.c" -nt "$out/lib/i386-linux-gnu/mmap_shim.so" ]; then
    gcc -m32 -O2 -fPIC -shared -nostdlib -ffreestanding \
      -o "$out/lib/i386-linux-gnu/mmap_shim.so" "$src/mmap_shim.c"
    # 64-bit processes (the shell wrapper, wineserver64) resolve $LIB to the
    # other folder and find an empty library there instead of a warning.
    echo 'int quarn_shim_placeholder;' > "$out/noop.c"
    gcc -shared -fPIC -o "$out/lib/x86_64-linux-gnu/mmap_shim.so" "$out/noop.c"
  fi
}

# Returns 0 when 32-bit code runs, registering qemu-i386 through binfmt_misc
# if the kernel cannot run it natively (needs root and qemu-user-static).
quarn_enable_i386() {
  local host="$1/host"
  if [ -e "$QUARN_BINFMT/qemu-i386" ]; then QUARN_I386=qemu; return 0; fi
  if "$host/probe32" 2>/dev/null; then QUARN_I386=native; return 0; fi
  if [ ! -x /usr/bin/qemu-i386-static ]; then
    echo "This kernel cannot run 32-bit code; install qemu-user-static (as root)." >&2
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "This kernel cannot run 32-bit code; as root, register qemu-i386 with binfmt_misc." >&2
    return 1
  fi
  [ -e "$QUARN_BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$QUARN_BINFMT"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    > "$QUARN_BINFMT/register"
  "$host/probe32" || return 1
  QUARN_I386=qemu
}

quarn_wine_env() {
  local build; build="$(cd "$1" && pwd)"
  quarn_host_tools "$build"
  quarn_enable_i386 "$build" || return 1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX="${QUARN_WINEPREFIX:-$build/wineprefix}"
  if [ "$QUARN_I386" = qemu ]; then
    # A full 4 GiB guest address space, as a native 32-bit process has.
    export QEMU_RESERVED_VA=0xffff0000
    export LD_PRELOAD="$build/host/\$LIB/mmap_shim.so"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
  fi
  # The prefix's own tools (cmd, reg, regedit) start fastest as 64-bit
  # programs, which need no emulation.
  if head -c 200 "$WINEPREFIX/system.reg" | grep -q '#arch=win64'; then
    export QUARN_WINE_TOOLS=/usr/lib/wine/wine64
  else
    export QUARN_WINE_TOOLS=wine
  fi
}

# Without a session held open, every Wine process that finds no wineserver
# starts a new session: its output pipes are inherited by the session's
# helpers (so a caller reading them waits until the session ends), and Wine
# takes each new session for a reboot, carrying out (and clearing) the file
# operations pending until reboot. The holder is an idle command prompt that
# reads from a pipe of ours; closing the pipe ends it. Run commands meanwhile
# with 9>&- so that they do not keep the pipe open.
quarn_wine_hold() {
  QUARN_HOLD_FIFO="$(mktemp -u "${TMPDIR:-/tmp}/quarn-hold.XXXXXX")"
  mkfifo "$QUARN_HOLD_FIFO"
  "$QUARN_WINE_TOOLS" cmd <"$QUARN_HOLD_FIFO" >/dev/null 2>&1 &
  QUARN_HOLD_PID=$!
  exec 9>"$QUARN_HOLD_FIFO"
  # Returns once the session's start-up is over.
  "$QUARN_WINE_TOOLS" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
}

quarn_wine_release() {
  [ -n "${QUARN_HOLD_PID:-}" ] || return 0
  exec 9>&-
  wait "$QUARN_HOLD_PID" 2>/dev/null || true
  rm -f "$QUARN_HOLD_FIFO"
  QUARN_HOLD_PID=
  # The wineserver saves the registry as it goes; one that will not go in
  # time is ended.
  timeout 30 wineserver -w >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1 || true
}
