#!/usr/bin/env bash
# usage: installed_host.sh PREFIX
#
# Runs Ferrowin as installed under PREFIX, from there only: the host starts headless and serves
# its control port (the installed client pairs with it and reads its status), and a stream that
# asks for a gamepad makes it start its input helper from PREFIX/libexec/ferrowin/.
#
# The host ends leftover helpers named FerrowinInputHelper when it starts, so nothing else may run
# a helper under that name meanwhile (ctest runs this alone). The helper's virtual devices go to a
# socket nobody listens on: a machine with /dev/uhid gets no real gamepad from this test.
set -euo pipefail

prefix=$(cd "$1" && pwd)
server=$prefix/bin/ferrowin-server
client=$prefix/bin/ferrowin-client
helper=$prefix/libexec/ferrowin/FerrowinInputHelper

work=$(mktemp -d)
host_pid=""
cleanup() {
  if [ -n "$host_pid" ]; then kill -KILL "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "installed_host: $*" >&2
  echo "--- host log" >&2
  cat "$work/host.log" >&2 || true
  exit 1
}

# Three free consecutive ports (control, video, input).
port=$(python3 "$(dirname "$0")/../support/free_control_port.py")

cd "$work"  # nothing may depend on the working directory
state=(--state-dir "$work/client")
root=$("$client" "${state[@]}" dev-ca init)
env -u DISPLAY -u FERROWIN_INPUT_HELPER FERROWIN_UHID_SOCKET="$work/no-uhid" \
  "$server" --headless --capture synthetic --control-port "$port" --data-dir "$work/data" \
  --config-dir "$work/config" --dev-attestation-root "$root" >"$work/host.log" 2>&1 &
host_pid=$!

code=""
for _ in $(seq 200); do
  kill -0 "$host_pid" 2>/dev/null || fail "the host exited at start"
  code=$(grep -o 'Pairing code: [0-9]\{6\}' "$work/host.log" | tail -n1 | cut -d' ' -f3 || true)
  grep -q "Listening on port $port" "$work/host.log" && [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$code" ] || fail "no pairing code"

host=(--host 127.0.0.1 --port "$port")
"$client" "${state[@]}" pair "${host[@]}" --code "$code" >/dev/null || fail "pairing failed"
status=$("$client" "${state[@]}" status "${host[@]}") || fail "status failed"
grep -q "ports: *control $port, video $((port + 1)), gamepad $((port + 2))" <<<"$status" ||
  fail "unexpected status: $status"

# Long enough for the encoder to open and deliver on a loaded machine.
# Without a writable /dev/uhid the host cannot make the gamepad, and the stream fails saying so.
"$client" "${state[@]}" stream "${host[@]}" --seconds 5 \
  --width 640 --height 480 --fps 30 --gamepad xbox >"$work/stream.txt" 2>&1 ||
  { [ ! -w /dev/uhid ] && grep -q "the session has no xbox gamepad" "$work/stream.txt"; } ||
  fail "stream failed: $(cat "$work/stream.txt")"
grep -q '^total .*frames=[1-9]' "$work/stream.txt" || fail "no frames: $(cat "$work/stream.txt")"
for _ in $(seq 100); do
  grep -q "Spawned " "$work/host.log" && break
  sleep 0.1
done
grep -q "Spawned $helper pid=" "$work/host.log" || fail "the helper was not started from $helper"

kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=""
[ "$status" -eq 0 ] || fail "the host exited with $status after SIGTERM"
echo "installed_host: $server served port $port and started $helper"
