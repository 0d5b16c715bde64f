#!/usr/bin/env bash
# h2load against orvel-sim serve (cleartext HTTP/2, every push delivered to
# the sample host and written to the record stream) and, in the same run on
# the same machine, against nghttpd serving a static reply: the rates, their
# ratios, and p50/p99 latency. For the service two rates: the answers as
# h2load sees them, and the pushes delivered to the host and recorded, from
# h2load's start until the last one is (the service holds providers back
# when the host falls behind, so the two stay close). The figures in
# docs/performance.md come from this command.
#
#   BENCH_REQUESTS   requests per run (default 20000)
#   BENCH_CLIENTS    connections (default 4)
#   BENCH_STREAMS    concurrent streams per connection (default 100)
#   ORVEL_SIM        the orvel-sim to measure (default: a Release build in
#                    BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
requests=${BENCH_REQUESTS:-20000}
clients=${BENCH_CLIENTS:-4}
streams=${BENCH_STREAMS:-100}
for tool in h2load nghttpd; do
  command -v "$tool" >/dev/null || { echo "bench-pushservice: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done
if [ -z "${ORVEL_SIM:-}" ]; then
  build=${BENCH_BUILD_DIR:-build-bench}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEL_SANITIZE= -DORVEL_BUILD_BENCHMARKS=OFF \
    -DORVEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target orvel_sim_tool >/dev/null
  ORVEL_SIM=$build/tools/orvel-sim/orvel-sim
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

token=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
echo '{"aps":{"alert":"Hello from h2load","badge":1}}' >"$work/payload.json"

# Runs h2load against $1 and prints "rate p50 p99" (requests per second,
# milliseconds); h2load's own summary goes to $2.txt.
measure() {
  h2load -n "$requests" -c "$clients" -m "$streams" -d "$work/payload.json" \
    -H "apns-topic: com.orvel.sample" -H "apns-push-type: alert" --log-file "$2.log" "$1" >"$2.txt"
  grep -q "$requests succeeded" "$2.txt" || { cat "$2.txt" >&2; echo "bench-pushservice: requests failed" >&2; exit 1; }
  rate=$(sed -n 's/^finished in [^,]*, \([0-9.]*\) req\/s.*/\1/p' "$2.txt")
  cut -f3 "$2.log" | sort -n | awk -v rate="$rate" '{ v[NR] = $1 }
    END { printf "%s %.2f %.2f\n", rate, v[int(NR * 0.5)] / 1000, v[int(NR * 0.99)] / 1000 }'
}

# orvel-sim serve: the first record says where it listens. It exits once
# the last of the requests is accepted, delivered to the host and recorded,
# so the time until it has exited is the end-to-end time.
"$ORVEL_SIM" serve --json --h2c --no-auth --port 0 --no-page --exit-after "$requests" </dev/null \
  >"$work/records.jsonl" &
serve_pid=$!
pids+=("$serve_pid")
for _ in $(seq 100); do [ -s "$work/records.jsonl" ] && break; sleep 0.1; done
url=$(head -1 "$work/records.jsonl" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
[ -n "$url" ] || { echo "bench-pushservice: orvel-sim serve did not start" >&2; exit 1; }
started=$(date +%s.%N)
read -r serve_rate serve_p50 serve_p99 < <(measure "$url/3/device/$token" "$work/serve")
(
  sleep 120
  kill -TERM "$serve_pid" 2>/dev/null &&
    echo "bench-pushservice: orvel-sim serve had not delivered every push after 2 minutes" >&2
) &
pids+=("$!")
wait "$serve_pid" || true
ended=$(date +%s.%N)
accepted=$(grep -c '"kind":"provider".*"status":200' "$work/records.jsonl" || true)
delivered=$(grep -c '"kind":"event","name":"OrvelDidReceiveMessageNotification"' "$work/records.jsonl" || true)
delivery_rate=$(awk -v n="$delivered" -v a="$started" -v b="$ended" 'BEGIN { printf "%.0f", n / (b - a) }')

# nghttpd with a static (empty) reply at the same path.
mkdir -p "$work/htdocs/3/device"
: >"$work/htdocs/3/device/$token"
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  nghttpd --no-tls -d "$work/htdocs" "$port" >/dev/null 2>&1 &
  nghttpd_pid=$!
  sleep 0.3
  kill -0 "$nghttpd_pid" 2>/dev/null && break
done
pids+=("$nghttpd_pid")
read -r static_rate static_p50 static_p99 < <(measure "http://127.0.0.1:$port/3/device/$token" "$work/nghttpd")

echo "requests: $requests on $clients connections, $streams streams each (h2c); $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
printf '%-40s %12s %10s %10s\n' "" "requests/s" "p50 ms" "p99 ms"
printf '%-40s %12.0f %10s %10s\n' "orvel-sim serve, answers" "$serve_rate" "$serve_p50" "$serve_p99"
printf '%-40s %12.0f\n' "orvel-sim serve, delivered and recorded" "$delivery_rate"
printf '%-40s %12.0f %10s %10s\n' "nghttpd static" "$static_rate" "$static_p50" "$static_p99"
awk -v a="$serve_rate" -v d="$delivery_rate" -v b="$static_rate" \
  'BEGIN { printf "ratio to nghttpd'"'"'s rate: answers %.3f, delivered end to end %.3f\n", a / b, d / b }'
echo "delivered to the host and recorded: $delivered of $accepted accepted ($requests sent)"
[ "$accepted" -eq "$requests" ] && [ "$delivered" -eq "$requests" ] ||
  { echo "bench-pushservice: not every push was accepted and delivered" >&2; exit 1; }
