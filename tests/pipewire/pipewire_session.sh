# A real PipeWire daemon with its session manager, for tests: sourced, never run. It brings up a
# private session bus, pipewire and wireplumber in a scratch runtime directory, and stops all
# three by their process ids.
#
#   pipewire_session_start         exports XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS and
#                                  PIPEWIRE_RUNTIME_DIR; fails when a part does not come up
#   pipewire_camera_add NAME DESC [PROPERTY=VALUE ...]
#                                  a camera node from PipeWire's own test source
#   pipewire_camera_remove NAME    unplugs it
#   pipewire_session_logs          the last lines of each part's log, for a failure
#   pipewire_session_stop          to be called from the sourcing script's EXIT trap
#
# Pitfalls this works around, each met on Debian 12 (PipeWire 0.3.65, WirePlumber 0.4.13):
# - pw-cli takes its command as an argument, with standard input from /dev/null: reading commands
#   from a pipe, it spins at a full core once the input ends.
# - session.suspend-timeout-seconds=0 on each camera: WirePlumber crashes when an idle video node
#   it was about to suspend is removed within its 5 s timer.
# - library.name on each camera: the default configuration maps no library for the test source.
# - WirePlumber exits without a session bus, and nothing is ever linked without WirePlumber.

# shellcheck source=../e2e/e2e_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e_lib.sh" # for e2e_poll

pipewire_session_pids=()
pipewire_session_dir=

# pw-cli with its command as arguments, standard input from /dev/null and a time limit.
pw_cli() { # seconds, then pw-cli's arguments
  local seconds=$1
  shift
  timeout "$seconds" pw-cli "$@" </dev/null
}

pipewire_session_has() { # object type, text in its listing
  pw_cli 5 ls "$1" 2>/dev/null | grep -qF -- "$2"
}

pipewire_session_lacks() { # object type, text in its listing
  ! pipewire_session_has "$@"
}

pipewire_session_gone() { # pid
  ! kill -0 "$1" 2>/dev/null
}

# The last lines of each part's log, for a look at a failure.
pipewire_session_logs() {
  local log
  for log in "$pipewire_session_dir"/*.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
}

pipewire_session_fail() {
  echo "FAIL: PipeWire session: $*" >&2
  pipewire_session_logs
  return 1
}

pipewire_session_start() {
  pipewire_session_dir=$(mktemp -d)
  chmod 0700 "$pipewire_session_dir"
  export XDG_RUNTIME_DIR=$pipewire_session_dir PIPEWIRE_RUNTIME_DIR=$pipewire_session_dir
  local bus=unix:path=$pipewire_session_dir/bus
  dbus-daemon --session --fork --address="$bus" --print-pid=3 \
    3>"$pipewire_session_dir/dbus.pid" >/dev/null 2>"$pipewire_session_dir/dbus.log" ||
    { pipewire_session_fail "dbus-daemon did not start"; return 1; }
  pipewire_session_pids+=("$(cat "$pipewire_session_dir/dbus.pid")")
  export DBUS_SESSION_BUS_ADDRESS=$bus
  pipewire >"$pipewire_session_dir/pipewire.log" 2>&1 &
  pipewire_session_pids+=($!)
  e2e_poll 10 test -S "$pipewire_session_dir/pipewire-0" ||
    { pipewire_session_fail "pipewire made no socket within 10 s"; return 1; }
  wireplumber >"$pipewire_session_dir/wireplumber.log" 2>&1 &
  pipewire_session_pids+=($!)
  e2e_poll 10 pipewire_session_has Client '"WirePlumber"' ||
    pipewire_session_fail "wireplumber did not connect within 10 s"
}

pipewire_session_stop() {
  local pid
  for pid in "${pipewire_session_pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pipewire_session_pids[@]}"; do
    e2e_poll 2 pipewire_session_gone "$pid" || kill -9 "$pid" 2>/dev/null
  done
  pipewire_session_pids=()
  [ -n "$pipewire_session_dir" ] && rm -rf "$pipewire_session_dir"
  pipewire_session_dir=
}

# Waits until GStreamer's view of PipeWire has the node or, with "gone", no longer has it.
pipewire_camera_wait() { # NAME [gone]
  local check=pipewire_session_has
  [ "${2:-}" = gone ] && check=pipewire_session_lacks
  e2e_poll 10 "$check" Node "node.name = \"$1\"" ||
    pipewire_session_fail "node $1 did not ${2:-appear} within 10 s"
}

pipewire_camera_add() { # NAME DESCRIPTION [PROPERTY=VALUE ...]
  local name=$1 description=$2
  shift 2
  local properties="factory.name=videotestsrc library.name=videotestsrc/libspa-videotestsrc
    node.name=$name node.description=\"$description\" media.class=Video/Source
    media.role=Camera object.linger=true session.suspend-timeout-seconds=0 $*"
  pw_cli 10 create-node spa-node-factory "{ $properties }" >/dev/null ||
    { pipewire_session_fail "could not make node $name"; return 1; }
  pipewire_camera_wait "$name"
}

pipewire_camera_remove() { # NAME
  pw_cli 10 destroy "$1" >/dev/null || { pipewire_session_fail "could not remove node $1"; return 1; }
  pipewire_camera_wait "$1" gone
}
