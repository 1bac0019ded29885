#!/usr/bin/env bash
# Crash consistency: the host is killed with SIGKILL at a random moment while it rewrites its
# state files, again and again, over one data folder. After every kill each file must still be a
# whole version (it parses, and the paired client's counter never goes back), and the host must
# start again on what is left.
#
#   ITERATIONS=300 bench/crash_consistency.sh    # the long run
#   ITERATIONS=12 bench/crash_consistency.sh     # the quick one (scripts/test runs it)
#
# Files rewritten under load: paired-clients.json (every resume stores the client's new
# counter), catalog.json (a rescan), hidden-apps.json and recent-apps.json (hide and
# remove-from-recent of the applications of a private XDG data folder).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FERROWIN_BUILD_DIR:-build/default}
iterations=${ITERATIONS:-12}
server=$build/bin/ferrowin-server
client=$build/bin/ferrowin-client

work=$(mktemp -d)
host=""
cleanup() {
  [ -n "$host" ] && kill -9 "$host" 2>/dev/null || true
  [ -n "$host" ] && wait "$host" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 tests/support/free_control_port.py)

# A few applications of our own for the catalog.
export XDG_DATA_HOME="$work/xdg" XDG_DATA_DIRS="$work/xdg-system"
mkdir -p "$XDG_DATA_HOME/applications" "$XDG_DATA_DIRS"
for n in 1 2 3 4 5 6; do
  printf '[Desktop Entry]\nType=Application\nName=Crash Test %s\nExec=/bin/true\n' "$n" \
    >"$XDG_DATA_HOME/applications/crash-test-$n.desktop"
done

data=$work/data
folder=$data/com.zavel.ferrowin.server
catalog=$data/Ferrowin
root=$($client --state-dir "$work/client" dev-ca init)
start_host() {
  : >"$work/host.log"
  $server --headless --data-dir "$data" --config-dir "$work/config" --control-port "$port" \
    --capture synthetic --audio synthetic --dev-attestation-root "$root" >"$work/host.log" 2>&1 &
  host=$!
  for _ in $(seq 200); do
    grep -q "Listening on port" "$work/host.log" && return 0
    kill -0 "$host" 2>/dev/null || break
    sleep 0.05
  done
  echo "crash: the host did not start again:" >&2
  cat "$work/host.log" >&2
  exit 1
}
api() { curl -sk --max-time 5 "$@" "https://127.0.0.1:$port$1" || true; }

start_host
code=$(grep -o 'Pairing code: [0-9]\{6\}' "$work/host.log" | tail -n1 | cut -d' ' -f3)
$client --state-dir "$work/client" pair --host 127.0.0.1 --port "$port" --code "$code" >/dev/null
ids=($(api "/v1/apps?refresh=1" | grep -o '"id":"[^"]*"' | cut -d'"' -f4 | sort -u))
[ "${#ids[@]}" -gt 0 ] || { echo "crash: the catalog is empty" >&2; exit 1; }

# Every write the host can be asked for, over and over, until it dies.
writer() {
  local i=0
  while kill -0 "$host" 2>/dev/null; do
    i=$((i + 1))
    $client --state-dir "$work/client" resume --host 127.0.0.1 --port "$port" >/dev/null 2>&1 || true
    id=${ids[$((i % ${#ids[@]}))]}
    api /v1/apps/launch -X POST -d "{\"id\":\"$id\"}" >/dev/null
    api /v1/apps/hide -X POST -d "{\"id\":\"$id\"}" >/dev/null
    api /v1/apps/recent/remove -X POST -d "{\"id\":\"$id\"}" >/dev/null
    api "/v1/apps?refresh=1" >/dev/null
  done
}

# Each file parses as JSON; the paired client's counter is at least what it was.
check() {
  python3 - "$folder/paired-clients.json" "$catalog" "$work/counter" <<'PY'
import json, os, sys
paired, catalog, counter_file = sys.argv[1:4]
def load(path):
    with open(path, "rb") as f:
        return json.loads(f.read().decode("utf-8"))
problems = []
counter = None
try:
    clients = load(paired)
    counter = max((c["counter"] for c in clients["clients"]), default=0)
except Exception as e:
    problems.append(f"paired-clients.json: {e}")
for name in ("catalog.json", "hidden-apps.json", "recent-apps.json"):
    path = os.path.join(catalog, name)
    if os.path.exists(path):
        try:
            load(path)
        except Exception as e:
            problems.append(f"{name}: {e}")
previous = int(open(counter_file).read()) if os.path.exists(counter_file) else 0
if counter is not None:
    if counter < previous:
        problems.append(f"paired-clients.json went back from counter {previous} to {counter}")
    open(counter_file, "w").write(str(counter))
print("; ".join(problems))
PY
}

bad=0
for i in $(seq "$iterations"); do
  writer &
  writer_pid=$!
  sleep "$(awk -v s="$RANDOM" 'BEGIN { srand(s); printf "%.3f", 0.2 + rand() * 1.3 }')"
  kill -9 "$host"
  wait "$host" 2>/dev/null || true
  wait "$writer_pid" 2>/dev/null || true
  problems=$(check)
  if [ -n "$problems" ]; then
    bad=$((bad + 1))
    echo "crash: after kill $i: $problems"
  fi
  start_host
done
kill -9 "$host"
wait "$host" 2>/dev/null || true
host=""

leftovers=$(find "$folder" "$catalog" -name '.*.tmp-*' | wc -l)
echo "crash: $iterations kills while writing, $bad with a damaged file, the host started again" \
  "every time; counter reached $(cat "$work/counter"); $leftovers temporary files left behind"
[ "$bad" -eq 0 ]
