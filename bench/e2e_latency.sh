#!/usr/bin/env bash
# End-to-end latency on loopback: the host captures a source, encodes it (libx265) and streams it
# over UDP/FEC to ferrowin-client, which decodes every frame. Sources: the host's synthetic
# pattern, and an Xvfb display of the stream's size showing an animated window (xvfb-animator:
# colour bands and a moving bar drawn by the X server, costing ~10% of a core at 1080p60)
# captured through X11 — skipped when Xvfb is missing. SOURCES picks them (default
# "synthetic x11"). For 1280x720 and 1920x1080 at 60 fps, 12 Mbit/s:
# the client's decoded fps (the seconds after the first, which holds the session's start) and
# capture-to-decoded latency percentiles, the host's encode time
# (its diagnostics line) and peak resident memory (VmHWM). The floor, measured in the same run:
# the ffmpeg CLI encoding the same kind of moving pattern with libx265 ultrafast zerolatency at
# the same size, as fast as it can (fps, CPU per frame, peak memory). Each size and source runs
# RUNS times (default 3); medians are reported. SIZES picks the sizes (default "1280x720 1920x1080").
# The host logs every frame's stages (FERROWIN_LOG_LEVEL=debug): the second table gives the host
# latency (capture time to the last datagram handed to the kernel) p50/p99 of all frames of the
# runs beside the encode time, and where the time of the slowest 1 % and 5 % of frames went, stage
# by stage (mean ms), with the share of keyframes among them.
#
#   bench/e2e_latency.sh [build dir]     (default build/default, configured with benchmarks)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
server=$build/bin/ferrowin-server
client=$build/bin/ferrowin-client
animator=$build/bench/tools/xvfb-animator
runs=${RUNS:-3}
seconds=${SECONDS_PER_RUN:-8}
[ -x "$server" ] && [ -x "$client" ] || { echo "build ferrowin_server and ferrowin_client in $build first" >&2; exit 1; }

sources=${SOURCES:-synthetic x11}
if [[ " $sources " == *" x11 "* ]] && ! { command -v Xvfb >/dev/null && [ -x "$animator" ]; }; then
  echo "Xvfb or $animator missing: the x11 source is skipped" >&2
  sources=${sources//x11/}
fi

work=$(mktemp -d)
host=""
display_pids=()
stop_display() {
  for pid in "${display_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${display_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  display_pids=()
  unset DISPLAY
}
trap '[ -n "$host" ] && kill "$host" 2>/dev/null; stop_display; wait 2>/dev/null; rm -rf "$work"' EXIT

# An Xvfb display of the given size with the animated window filling it; sets DISPLAY.
start_display() {
  Xvfb -displayfd 1 -screen 0 "${1}x24" -nolisten tcp >"$work/xvfb.display" 2>/dev/null &
  display_pids+=($!)
  for _ in $(seq 50); do [ -s "$work/xvfb.display" ] && break; sleep 0.1; done
  DISPLAY=":$(head -n1 "$work/xvfb.display")"
  export DISPLAY
  "$animator" "$1" 60 &
  display_pids+=($!)
  sleep 1
}

free_port() {
  python3 -c '
import socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    try:
        for q in (p, p + 1, p + 2):
            for k in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                t = socket.socket(socket.AF_INET, k); t.bind(("127.0.0.1", q)); t.close()
        print(p); break
    except OSError: pass'
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
field() { tr ' ' '\n' | awk -F= -v k="$1" '$1 == k {print $2}'; }

root=$($client --state-dir "$work/client" dev-ca init)
mkdir -p "$work/config"
echo '{"ferrowin.video.diagnostics":true}' >"$work/config/settings.json"

printf '%-10s %-9s %8s %8s %8s %8s %8s %9s %9s %11s %11s %9s %9s\n' size source fps p50_ms \
  p95_ms p99_ms encode_ms floor_fps floor_ms fps_ratio cpu_ratio hwm_MB floor_MB
: >"$work/stages.txt"
for size in ${SIZES:-1280x720 1920x1080}; do
  width=${size%x*}
  height=${size#*x}

  # The floor: ffmpeg encodes 300 frames of a moving pattern as fast as it can.
  : >"$work/floor.txt"
  for run in $(seq "$runs"); do
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" ffmpeg -loglevel error -f lavfi \
      -i "testsrc2=size=${size}:rate=60" -frames:v 300 -c:v libx265 -preset ultrafast \
      -tune zerolatency -b:v 12M -x265-params log-level=none -f null - 2>/dev/null
    read -r wall user sys maxrss <"$work/time.txt"
    awk -v w="$wall" -v u="$user" -v s="$sys" -v m="$maxrss" \
      'BEGIN {print 300 / w, (u + s) * 1000 / 300, m}' >>"$work/floor.txt"
  done

  for source in $sources; do
    if [ "$source" = x11 ]; then start_display "$size"; fi
    : >"$work/runs.txt"
    for run in $(seq "$runs"); do
      port=$(free_port)
      FERROWIN_LOG_LEVEL=debug $server --headless --data-dir "$work/data$run$size$source" --config-dir "$work/config" \
        --control-port "$port" --capture "$source" --encoder software --transport udp_fec \
        --dev-attestation-root "$root" >"$work/host.log" 2>&1 &
      host=$!
      for _ in $(seq 100); do grep -q "Listening on port" "$work/host.log" && break; sleep 0.1; done
      code=$(grep -o 'Pairing code: [0-9]\{6\}' "$work/host.log" | tail -n1 | cut -d' ' -f3)
      $client --state-dir "$work/client" pair --host 127.0.0.1 --port "$port" --code "$code" >/dev/null
      $client --state-dir "$work/client" stream --seconds "$seconds" \
        --width "$width" --height "$height" --fps 60 --bitrate 12000 >"$work/stream.txt"
      hwm=$(awk '/VmHWM/ {print $2}' "/proc/$host/status")
      kill "$host"; wait "$host" 2>/dev/null || true; host=""
      total=$(grep '^total decoded=' "$work/stream.txt")
      # Every frame's stages, the first second (start-up) left out.
      grep -o '\[frame\] .*' "$work/host.log" | tr '=' ' ' |
        awk -v s="$size" -v src="$source" '{pts[NR] = $3; line[NR] = $0}
          END {for (i = 1; i <= NR; i++) if (pts[i] - pts[1] >= 1000000) print s, src, line[i]}' \
        >>"$work/stages.txt"
      # Host CPU per encoded frame: the encode time its diagnostics report, median of the seconds.
      encode=$(grep -o 'encode_ms avg=[0-9.]*' "$work/host.log" | cut -d= -f2 | tail -n +2 | median)
      # The stream's rate once it runs: the seconds after the first (which holds the host's start:
      # the hello, the encoder opening, the first keyframe).
      fps=$(grep '^second decoded=' "$work/stream.txt" | tail -n +2 | field fps |
        awk '{sum += $1} END {print NR ? sum / NR : 0}')
      echo "$fps $(echo "$total" | field latency_ms_p50)" \
        "$(echo "$total" | field latency_ms_p95) $(echo "$total" | field latency_ms_p99)" \
        "${encode:-0} $hwm" >>"$work/runs.txt"
    done
    if [ "$source" = x11 ]; then stop_display; fi

    col() { awk -v c="$1" '{print $c}' "$2" | median; }
    fps=$(col 1 "$work/runs.txt"); encode=$(col 5 "$work/runs.txt"); hwm=$(col 6 "$work/runs.txt")
    floor_fps=$(col 1 "$work/floor.txt"); floor_ms=$(col 2 "$work/floor.txt")
    printf '%-10s %-9s %8.1f %8.1f %8.1f %8.1f %8.2f %9.1f %9.2f %11.2f %11.2f %9.0f %9.0f\n' "$size" \
      "$source" "$fps" "$(col 2 "$work/runs.txt")" "$(col 3 "$work/runs.txt")" \
      "$(col 4 "$work/runs.txt")" "$encode" \
      "$floor_fps" "$floor_ms" "$(awk -v a="$fps" -v b="$floor_fps" 'BEGIN {print a / b}')" \
      "$(awk -v a="$encode" -v b="$floor_ms" 'BEGIN {print (b > 0) ? a / b : 0}')" \
      "$(awk -v k="$hwm" 'BEGIN {print k / 1024}')" \
      "$(awk -v k="$(col 3 "$work/floor.txt")" 'BEGIN {print k / 1024}')"
  done
done
echo
echo "Host latency and the stages of the slowest 1 % and 5 % of frames (all runs; mean ms):"
printf '%-10s %-9s %6s %7s %8s %8s %9s %8s %8s %8s %8s %8s %8s %8s %6s\n' size source slowest \
  frames host_p50 host_p99 encode_p99 capture queue convert encode packetize send host keyfr
for size in ${SIZES:-1280x720 1920x1080}; do
  for source in $sources; do
    # Fields: size source [frame] pts P host_ms H capture C queue Q convert V encode E packetize K
    # send S keyframe F.
    awk -v s="$size" -v src="$source" '$1 == s && $2 == src' "$work/stages.txt" | sort -k7,7g \
      >"$work/frames.txt"
    [ -s "$work/frames.txt" ] || continue
    encode99=$(awk '{print $13 + $15}' "$work/frames.txt" | sort -g |
      awk '{v[NR] = $1} END {k = int(0.99 * NR + 0.999999); print v[k < 1 ? 1 : k]}')
    awk -v s="$size" -v src="$source" -v e99="$encode99" '
      {host[NR] = $7; row[NR] = $0}
      END {
        p50 = int(0.5 * NR + 0.999999); p99 = int(0.99 * NR + 0.999999)
        for (pc = 1; pc <= 5; pc += 4) {
          tail = int(NR * pc / 100); if (tail < 1) tail = 1
          c = q = v = x = k = d = h = kf = 0
          for (i = NR - tail + 1; i <= NR; i++) {
            split(row[i], f, " ")
            c += f[9]; q += f[11]; v += f[13]; x += f[15]; k += f[17]; d += f[19]; h += f[7]; kf += f[21]
          }
          printf "%-10s %-9s %5d%% %7d %8.1f %8.1f %9.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %5.0f%%\n",
            s, src, pc, NR, host[p50], host[p99], e99, c / tail, q / tail, v / tail, x / tail,
            k / tail, d / tail, h / tail, 100 * kf / tail
        }
      }' "$work/frames.txt"
  done
done
echo "encode_p99: conversion + codec time, p99 of all frames; keyfr: keyframes among those slowest frames."
echo
echo "fps_ratio: our decoded fps / the CLI's encode-only fps; cpu_ratio: our encode ms per frame /"
echo "the CLI's CPU ms per frame (wall time in our encoder vs CPU time of the CLI). Medians of $runs."
echo "hwm_MB: the host's peak resident memory; floor_MB: the CLI's, for the same encoder and size."
echo "With the x11 source, the animated window and Xvfb share the two cores with the host and client."
