#!/usr/bin/env bash
# Soak: one headless host, a client that streams, disconnects and comes back again and again,
# switching the capture source and polling the control API between sessions. After every session
# the host's open descriptors, threads and resident memory are sampled; at the end the slope of
# each over the second half of the run is printed (per session), with the client's decode errors
# and the host's error lines.
#
#   SESSIONS=60 SECONDS_PER_SESSION=30 bench/soak.sh     # the long run (30 minutes)
#   SESSIONS=12 SECONDS_PER_SESSION=2 bench/soak.sh      # the quick one (scripts/test runs it)
#
# TRANSPORT (udp_fec, udp_arq or tcp; the host takes it at start), WIDTH x HEIGHT (1280 x 720),
# CAPTURE (synthetic or x11: a private Xvfb), MAX_RSS_SLOPE_KB (fail above it; default none),
# SAMPLES (a file to keep the per-session samples in), MAX_FAILED_SESSIONS (sessions allowed to end
# without a decoded frame, default 0: a loaded machine may not open the encoder within a short
# session), SOAK_KEEP_LOG (a file to copy the host's log to when a session fails).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FERROWIN_BUILD_DIR:-build/default}
sessions=${SESSIONS:-12}
seconds=${SECONDS_PER_SESSION:-2}
transport=${TRANSPORT:-udp_fec}
width=${WIDTH:-1280}
height=${HEIGHT:-720}
capture=${CAPTURE:-synthetic}
server=$build/bin/ferrowin-server
client=$build/bin/ferrowin-client

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 tests/support/free_control_port.py)

if [ "$capture" = x11 ]; then
  Xvfb -displayfd 1 -screen 0 "${width}x${height}x24" -nolisten tcp >"$work/xvfb.display" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/xvfb.display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/xvfb.display")"
fi

root=$($client --state-dir "$work/client" dev-ca init)
${HOST_WRAPPER:-} $server --headless --data-dir "$work/data" --config-dir "$work/config" --control-port "$port" \
  --capture "$capture" --audio synthetic --transport "$transport" --dev-attestation-root "$root" \
  >"$work/host.log" 2>&1 &
host=$!
pids+=("$host")
code=""
for _ in $(seq 100); do
  code=$(grep -o 'Pairing code: [0-9]\{6\}' "$work/host.log" | tail -n1 | cut -d' ' -f3 || true)
  grep -q "Listening on port" "$work/host.log" && [ -n "$code" ] && break
  sleep 0.1
done
[ -n "$code" ] || { echo "soak: the host did not start" >&2; cat "$work/host.log" >&2; exit 1; }
$client --state-dir "$work/client" pair --host 127.0.0.1 --port "$port" --code "$code" >/dev/null

# The control API answers an authenticated address; this one is, once paired.
api() { curl -sk --max-time 5 "$@" "https://127.0.0.1:$port$1"; }
sample() {
  local rss threads fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$host/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$host/status")
  fds=$(find "/proc/$host/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "$1 $rss $threads $fds"
}

samples=${SAMPLES:-$work/samples.txt}
: >"$samples"
decode_errors=0 failed=0
echo "soak: $sessions sessions of $seconds s, $transport, ${width}x$height, $capture capture"
for i in $(seq "$sessions"); do
  sources=$(api /v1/capture/sources || true)
  ids=($(grep -o '"id":"[^"]*"' <<<"$sources" | cut -d'"' -f4 || true))
  if [ "${#ids[@]}" -gt 0 ]; then
    id=${ids[$((i % ${#ids[@]}))]}
    api /v1/capture/source -X POST -d "{\"id\":\"$id\"}" >/dev/null || true
  fi
  api /v1/status >/dev/null || echo "soak: status request failed before session $i"
  if ! $client --state-dir "$work/client" stream --host 127.0.0.1 --port "$port" \
    --seconds "$seconds" --width "$width" --height "$height" --fps 60 --audio >"$work/stream.txt" 2>&1; then
    failed=$((failed + 1))
    echo "soak: session $i failed: $(grep -E '^total|ferrowin-client:' "$work/stream.txt" | tr '\n' ' ')"
    [ -z "${SOAK_KEEP_LOG:-}" ] || cp "$work/host.log" "$SOAK_KEEP_LOG"
  fi
  errors=$(grep -o 'decode_errors=[0-9]*' "$work/stream.txt" | head -n1 | cut -d= -f2 || true)
  if [ "${errors:-0}" -gt 0 ]; then
    decode_errors=$((decode_errors + errors))
    echo "soak: session $i: $errors decode errors: $(grep -m3 'ferrowin-client:' "$work/stream.txt" | tr '\n' ' ')"
  fi
  sleep 0.5  # the host ends the session
  sample "$i" >>"$samples"
done

# Least-squares slope over the second half (the first sessions warm caches and pools up).
awk -v n="$sessions" '
  $1 > n / 2 { k++; x[k] = $1; for (c = 2; c <= 4; c++) y[c, k] = $c }
  { last = $0 } NR == 1 { first = $0 }
  END {
    split("x rss_kb threads fds", name)
    mx = 0; for (i = 1; i <= k; i++) mx += x[i] / k
    printf "soak: first sample (session rss_kb threads fds): %s\nsoak: last sample: %s\n", first, last
    for (c = 2; c <= 4; c++) {
      my = 0; for (i = 1; i <= k; i++) my += y[c, i] / k
      sxy = 0; sxx = 0
      for (i = 1; i <= k; i++) { sxy += (x[i] - mx) * (y[c, i] - my); sxx += (x[i] - mx) ^ 2 }
      printf "soak: slope of %s over the second half: %.2f per session\n", name[c], sxx ? sxy / sxx : 0
    }
  }' "$samples" | tee "$work/slopes.txt"
echo "soak: $failed failed sessions, $decode_errors decode errors at the client"
errors=$(grep -E ' (error|critical) ' "$work/host.log" | cut -d' ' -f3- | sort | uniq -c | sort -rn || true)
echo "soak: host error lines: ${errors:-none}"

status=0
[ "$failed" -le "${MAX_FAILED_SESSIONS:-0}" ] || status=1
[ "$decode_errors" -eq 0 ] || status=1
kill -0 "$host" 2>/dev/null || { echo "soak: the host died" >&2; status=1; }
if [ -n "${MAX_RSS_SLOPE_KB:-}" ]; then
  slope=$(awk '/slope of rss_kb/ {print $7}' "$work/slopes.txt")
  awk -v s="$slope" -v m="$MAX_RSS_SLOPE_KB" 'BEGIN { exit !(s <= m) }' ||
    { echo "soak: resident memory grows by $slope kB per session (limit $MAX_RSS_SLOPE_KB)" >&2; status=1; }
fi
exit $status
