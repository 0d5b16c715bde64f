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
#   BENCH_REQUESTS   requests per run (default 50000)
#   BENCH_CLIENTS    connections (default 4)
#   BENCH_STREAMS    concurrent streams per connection (default 100)
#   BENCH_ROUNDS     rounds of both, one after the other (default 5); the
#                    figures are each column's median
#   ORVEL_SIM        the orvel-sim to measure (default: a Release build with
#                    the libraries linked in, in BENCH_BUILD_DIR, default
#                    build-bench-serve)
set -euo pipefail
cd "$(dirname "$0")/.."
requests=${BENCH_REQUESTS:-50000}
clients=${BENCH_CLIENTS:-4}
streams=${BENCH_STREAMS:-100}
rounds=${BENCH_ROUNDS:-5}
for tool in h2load nghttpd; do
  command -v "$tool" >/dev/null || { echo "bench-pushservice: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done
if [ -z "${ORVEL_SIM:-}" ]; then
  # A program of its own (static libraries), as a service that is deployed
  # would be; with shared libraries every call between the layers goes
  # through the dynamic linker's tables (see docs/performance.md for both).
  build=${BENCH_BUILD_DIR:-build-bench-serve}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DORVEL_SANITIZE= \
    -DORVEL_BUILD_BENCHMARKS=OFF \
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

# One round: orvel-sim serve, then nghttpd straight after, so that the two
# meet the machine in much the same state. Prints "answers p50 p99
# delivered static static-p50 static-p99".
round() {
  # The first record says where serve listens. It exits once the last of
  # the requests is accepted, delivered to the host and recorded, so the
  # time until it has exited is the end-to-end time.
  "$ORVEL_SIM" serve --json --h2c --no-auth --port 0 --no-page --exit-after "$requests" </dev/null \
    >"$work/records.jsonl" &
  local serve_pid=$!
  pids+=("$serve_pid")
  for _ in $(seq 100); do [ -s "$work/records.jsonl" ] && break; sleep 0.1; done
  local url
  url=$(head -1 "$work/records.jsonl" | sed -n 's/.*"url":"\([^"]*\)".*/\1/p')
  [ -n "$url" ] || { echo "bench-pushservice: orvel-sim serve did not start" >&2; exit 1; }
  local started ended serve_rate serve_p50 serve_p99 static_rate static_p50 static_p99
  # The sleep holds none of the script's output open: killed with the
  # watchdog or not, it would otherwise keep a pipe that reads the
  # script's output (2>&1 | tee) waiting for two minutes after the end.
  (
    sleep 120 </dev/null >/dev/null 2>&1
    kill -TERM "$serve_pid" 2>/dev/null &&
      echo "bench-pushservice: orvel-sim serve had not delivered every push after 2 minutes" >&2
  ) &
  local watchdog=$!
  # The end is when serve has exited, not when h2load's log has been read.
  started=$(date +%s.%N)
  measure "$url/3/device/$token" "$work/serve" >"$work/serve.rates" &
  local measuring=$!
  wait "$serve_pid" || true
  ended=$(date +%s.%N)
  kill "$watchdog" 2>/dev/null || true
  wait "$measuring" || exit 1
  read -r serve_rate serve_p50 serve_p99 <"$work/serve.rates"
  local accepted delivered
  accepted=$(grep -c '"kind":"provider".*"status":200' "$work/records.jsonl" || true)
  delivered=$(grep -c '"kind":"event","name":"OrvelDidReceiveMessageNotification"' "$work/records.jsonl" || true)
  if [ "$accepted" -ne "$requests" ] || [ "$delivered" -ne "$requests" ]; then
    echo "bench-pushservice: $delivered delivered of $accepted accepted ($requests sent): not every push was" >&2
    exit 1
  fi
  read -r static_rate static_p50 static_p99 < <(measure "http://127.0.0.1:$port/3/device/$token" "$work/nghttpd")
  awk -v n="$delivered" -v a="$started" -v b="$ended" -v r="$serve_rate" -v p="$serve_p50" -v q="$serve_p99" \
    -v s="$static_rate" -v sp="$static_p50" -v sq="$static_p99" \
    'BEGIN { printf "%s %s %s %.0f %s %s %s\n", r, p, q, n / (b - a), s, sp, sq }'
}

echo "requests: $requests on $clients connections, $streams streams each (h2c), $rounds rounds; $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
printf '%-6s %10s %8s %8s %12s %10s %8s %8s %8s\n' round answers p50 p99 delivered nghttpd p50 p99 ratio
for r in $(seq "$rounds"); do
  round >"$work/round"
  read -r a ap aq d s sp sq <"$work/round"
  printf '%-6s %10.0f %8s %8s %12s %10.0f %8s %8s %8.3f\n' "$r" "$a" "$ap" "$aq" "$d" "$s" "$sp" "$sq" \
    "$(awk -v d="$d" -v s="$s" 'BEGIN { print d / s }')"
  echo "$a $ap $aq $d $s $sp $sq" >>"$work/rounds"
done

# The median of each column over the rounds.
median() { cut -d' ' -f"$1" "$work/rounds" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "median over $rounds rounds (answers and delivered are orvel-sim serve's; every push was delivered and recorded):"
printf '%-40s %12s %10s %10s\n' "" "requests/s" "p50 ms" "p99 ms"
printf '%-40s %12.0f %10s %10s\n' "orvel-sim serve, answers" "$(median 1)" "$(median 2)" "$(median 3)"
printf '%-40s %12.0f\n' "orvel-sim serve, delivered and recorded" "$(median 4)"
printf '%-40s %12.0f %10s %10s\n' "nghttpd static" "$(median 5)" "$(median 6)" "$(median 7)"
awk -v a="$(median 1)" -v d="$(median 4)" -v b="$(median 5)" \
  'BEGIN { printf "ratio to nghttpd'"'"'s rate: answers %.3f, delivered end to end %.3f\n", a / b, d / b }'
