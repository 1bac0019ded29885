#!/usr/bin/env bash
# Audio latency end to end on loopback: a 440 Hz tone is played into the default sink of a
# private PulseAudio server (null sink at 48 kHz), the host captures the sink's monitor
# (--audio pulse), encodes it with Opus and streams it over UDP/FEC to ferrowin-client, which
# decodes every packet. Reported: the client's capture-to-decoded audio latency p50 / p99 (the
# packet's pts is the capture time the host derives from the sound server's reported latency),
# packets and missing packets; beside it, the same measured with the host's synthetic tone, which
# has no sound server in the path (the floor of framing, encoding and transport). RUNS runs each
# (default 3), medians reported.
#
#   bench/audio_latency.sh [build dir]     (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
server=$build/bin/ferrowin-server
client=$build/bin/ferrowin-client
runs=${RUNS:-3}
seconds=${SECONDS_PER_RUN:-8}
[ -x "$server" ] && [ -x "$client" ] || { echo "build ferrowin_server and ferrowin_client in $build first" >&2; exit 1; }
for tool in pulseaudio pactl pacat ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/bootstrap)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

mkdir -p "$work/pulse"
HOME="$work/pulse" XDG_RUNTIME_DIR="$work/pulse" XDG_CONFIG_HOME="$work/pulse" \
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
  --log-level=error -L "module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1" \
  -L "module-null-sink sink_name=bench rate=48000" >"$work/pulse.log" 2>&1 &
pids+=($!)
pulse="unix:$work/pulse/native"
for _ in $(seq 50); do pactl --server="$pulse" set-default-sink bench 2>/dev/null && break; sleep 0.1; done
mkfifo "$work/tone.fifo"
ffmpeg -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=48000" -af volume=2 -ac 2 \
  -f f32le -y "$work/tone.fifo" >/dev/null 2>&1 &
pids+=($!)
pacat --server="$pulse" --playback --raw --format=float32le --rate=48000 --channels=2 \
  --latency-msec=20 <"$work/tone.fifo" &
pids+=($!)

root=$($client --state-dir "$work/client" dev-ca init)
port=$((30000 + RANDOM % 30000))

run() {  # audio source -> "p50 p99 packets missing"
  local audio=$1 host code
  rm -rf "$work/config"  # the data folder (the host's identity, which the client pins) stays
  PULSE_SERVER="$pulse" $server --headless --data-dir "$work/data" --config-dir "$work/config" \
    --control-port "$port" --capture synthetic --audio "$audio" --transport udp_fec \
    --dev-attestation-root "$root" >"$work/host.log" 2>&1 &
  host=$!
  code=""
  for _ in $(seq 100); do
    code=$(grep -o 'Pairing code: [0-9]\{6\}' "$work/host.log" | tail -n1 | cut -d' ' -f3 || true)
    [ -n "$code" ] && grep -q "Listening on port" "$work/host.log" && break
    sleep 0.1
  done
  $client --state-dir "$work/client" pair --host 127.0.0.1 --port "$port" --code "$code" >/dev/null
  $client --state-dir "$work/client" stream --host 127.0.0.1 --port "$port" \
    --seconds "$seconds" --width 320 --height 180 --fps 30 --bitrate 800 --audio >"$work/stream.txt"
  kill "$host"; wait "$host" 2>/dev/null || true
  awk '$1 == "total" && /audio_packets=/ {
         for (i = 2; i <= NF; i++) { split($i, kv, "="); a[kv[1]] = kv[2] }
         print a["audio_latency_ms_p50"], a["audio_latency_ms_p99"], a["audio_packets"], a["audio_missing"] }' \
    "$work/stream.txt"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "source     p50_ms  p99_ms  packets  missing   (medians of $runs runs of ${seconds} s)"
for audio in pulse synthetic; do
  : >"$work/results"
  for _ in $(seq "$runs"); do run "$audio" >>"$work/results"; done
  printf "%-10s %6s  %6s  %7s  %7s\n" "$audio" \
    "$(cut -d' ' -f1 "$work/results" | median)" "$(cut -d' ' -f2 "$work/results" | median)" \
    "$(cut -d' ' -f3 "$work/results" | median)" "$(cut -d' ' -f4 "$work/results" | median)"
done
