# Wine for the Windows stage (sourced, after lib.sh): a prefix of our own,
# made whole before anything runs in it, and one server kept up for the
# stage, with Wine's own services started and settled before the first
# program whose output is read.

# Debian's Wine has no preloader to reserve the addresses Windows programs
# expect before the Linux loader maps anything, so with address-space
# randomisation a program now and then fails to start ("failed to map the
# shared user data", status 1, no output). Without randomisation the layout
# is the same every time: every Windows program here runs through $WINE.
WINE="$ROOT/scripts/wine_fixed_layout.sh"
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="${VOSTRAL_WINEPREFIX:-$WINDOWS_CACHE/wine-prefix}" WINEDEBUG=-all

# Total CPU ticks used so far by the processes of our Wine server's session.
wine_cpu_ticks() {
  local pid total=0 fields
  for pid in $(pgrep -f 'C:\\windows\\' 2>/dev/null); do
    read -r -a fields <"/proc/$pid/stat" 2>/dev/null || continue
    total=$((total + fields[13] + fields[14]))  # utime and stime
  done
  echo "$total"
}

# Waits until Wine's background processes have done starting up: their CPU
# time stands still for a second (at most a minute).
wine_settle() {
  local before after tries=0
  after=$(wine_cpu_ticks)
  while ((tries++ < 60)); do
    before=$after
    sleep 1
    after=$(wine_cpu_ticks)
    ((after == before)) && return 0
  done
  echo "warning: Wine's services were still busy after a minute" >&2
}

# The prefix is made once, with a mark written only when it is complete, so a
# run stopped half-way through making it makes it again instead of using it.
# The caller ends the server with stop_wine, on every way out.
start_wine() {
  if [[ ! -f "$WINEPREFIX/.vostral-complete" ]]; then
    say "creating the Wine prefix $WINEPREFIX (first time only)"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    local log="$WINDOWS_CACHE/wineboot.log"
    if ! "$WINE" wineboot --init </dev/null >"$log" 2>&1; then
      tail -20 "$log" >&2
      echo "error: wineboot could not make the Wine prefix $WINEPREFIX (log above)" >&2
      return 1
    fi
    "$WINESERVER" -w  # every process that made the prefix has ended
    touch "$WINEPREFIX/.vostral-complete"
  fi
  # A server left by a run that was killed would refuse ours.
  stop_wine
  "$WINESERVER" -w
  "$WINESERVER" -p
  # Wine's own background processes start with the first program and stay
  # with the server: started and settled here, they neither hold a test's
  # output open nor compete with its start.
  if ! "$WINE" cmd /c exit </dev/null >/dev/null 2>&1; then
    echo "error: Wine cannot run a program in $WINEPREFIX" >&2
    return 1
  fi
  wine_settle
}

stop_wine() { "$WINESERVER" -k 2>/dev/null || true; }
