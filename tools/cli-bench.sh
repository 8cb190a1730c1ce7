#!/usr/bin/env bash
# Figures of siclquill-cli against the gateway simulator on loopback:
#   cli_oneshot_ms      median of whole-process runs of `siclquill-cli query 22 '*IDN?'`
#   pyvisa_oneshot_ms   the same query as a one-shot pyvisa-py program (needs port 111)
#   loop_p50_us         median pass of `siclquill-cli loop 22 '*IDN?'`, beside
#   idn_exchange_us     the library's own exchange (siclquill-bench), taken in turn with it
#   loop_rss_*_mb       resident memory of one long loop, early and at its end
#
# Usage: tools/cli-bench.sh BUILD_DIR [--smoke]
#   --smoke  few runs and a short loop: it must run and print; the figures mean nothing then
# Environment: CLI_BENCH_RUNS (one-shot runs, default 50), CLI_BENCH_LOOP (passes of the long
# loop, default 1000000), CLI_BENCH_CPU (the CPU of the loop against the library's exchange,
# default the first one this script may use).
set -euo pipefail

build=${1:?usage: tools/cli-bench.sh BUILD_DIR [--smoke]}
build=$(cd "$build" && pwd)
smoke=0
[[ ${2:-} == --smoke ]] && smoke=1
cli=$build/cli/siclquill-cli
gateway=$build/gateway/siclquill-gateway
bench=$build/bench/siclquill-bench
for b in "$cli" "$gateway" "$bench"; do
    [[ -x $b ]] || { echo "cli-bench.sh: $b is missing; build first" >&2; exit 1; }
done
if ((smoke)); then
    runs=3 long=2000 rounds=1 count=200
else
    runs=${CLI_BENCH_RUNS:-50} long=${CLI_BENCH_LOOP:-1000000} rounds=5 count=2000
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Starts the demo bench with its portmapper on $1 and sets $gw_addr to its HOST:PORT. (Not
# called in a $(...) subshell: the pid must reach the cleanup.)
start_gateway() {
    local out=$work/gw.$1
    "$gateway" --demo --portmapper "$1" >"$out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        if grep -q '^ready' "$out" 2>/dev/null; then
            gw_addr=$(sed -n 's/^ready portmapper=\([^ ]*\).*/\1/p' "$out")
            return 0
        fi
        kill -0 "${pids[-1]}" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# Median of the numbers on standard input.
median() { sort -g | awk '{ a[NR] = $1 } END { if (NR) print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }

# Median wall time in ms of $runs runs of a command line: hyperfine when there is one.
time_runs() {
    if command -v hyperfine >/dev/null; then
        hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/hf.json" "$1" >/dev/null 2>&1
        /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"] * 1000)' "$work/hf.json"
    else
        for _ in $(seq "$runs"); do
            local t0 t1
            t0=$(date +%s%N); bash -c "$1" >/dev/null; t1=$(date +%s%N)
            echo $(((t1 - t0) / 1000))
        done | median | awk '{ print $1 / 1000 }'
    fi
}

start_gateway 0 || { echo "cli-bench.sh: simulator did not start" >&2; exit 1; }
pm=$gw_addr
pm_pid=${pids[-1]}
echo "# simulator portmapper $pm; machine: $(nproc) cores; $(uptime)"

printf '%-28s %10s  %s\n' figure value note
# The floor of any process on this machine now, and the program without the network, taken
# beside the query: on a loaded machine all three rise together.
floor=$(time_runs "/bin/true")
version=$(time_runs "$cli --version")
oneshot=$(time_runs "$cli -s $pm query 22 *IDN?")
printf '%-28s %10.2f  %s\n' process_floor_ms "$floor" "median of $runs runs of /bin/true"
printf '%-28s %10.2f  %s\n' cli_start_ms "$version" "median of $runs runs of siclquill-cli --version"
printf '%-28s %10.2f  %s\n' cli_oneshot_ms "$oneshot" "median of $runs whole-process runs (target <= 10)"

# pyvisa-py finds the simulator only through a portmapper on port 111 (not taken in a smoke
# run, which runs beside tests that want that port).
if ((!smoke)) && /usr/bin/python3 -c 'import pyvisa, pyvisa_py' 2>/dev/null &&
    start_gateway 111; then
    cat >"$work/idn.py" <<'PY'
import pyvisa
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource("TCPIP::127.0.0.1::gpib0,22::INSTR")
print(inst.query("*IDN?").strip())
PY
    py=$(time_runs "/usr/bin/python3 $work/idn.py")
    cli111=$(time_runs "$cli -s 127.0.0.1 query 22 *IDN?")
    printf '%-28s %10.2f  %s\n' pyvisa_oneshot_ms "$py" "the same query from /usr/bin/python3 + pyvisa-py, port 111"
    printf '%-28s %10.2f  %s\n' cli_oneshot_port111_ms "$cli111" "siclquill-cli on that same simulator"
else
    printf '%-28s %10s  %s\n' pyvisa_oneshot_ms - "not measured: no pyvisa-py, or port 111 not available"
fi

# The loop against the library's own exchange, taken in turn so that both see the same load,
# and with the simulator and each client on one CPU: left to the scheduler, a client and the
# simulator share a CPU or sit on two, and on two idle virtual CPUs an exchange then costs about
# four times as much, which would swamp the few percent compared here.
allowed=$(awk '$1 == "Cpus_allowed_list:" { print $2 }' /proc/self/status)
cpu=${CLI_BENCH_CPU:-$(sed 's/[-,].*//' <<<"$allowed")}
taskset -a -p -c "$cpu" "$pm_pid" >/dev/null
for ((i = 1; i <= rounds; i++)); do
    taskset -c "$cpu" "$bench" --server "$pm" --address 22 --count "$count" --walks 1 |
        awk '$1 == "idn_exchange_us" { print $2 }' >>"$work/exchange"
    taskset -c "$cpu" "$cli" -s "$pm" --json loop 22 '*IDN?' --count "$count" |
        /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["p50_ms"] * 1000)' >>"$work/loop"
done
taskset -a -p -c "$allowed" "$pm_pid" >/dev/null
exchange=$(median <"$work/exchange")
loop=$(median <"$work/loop")
printf '%-28s %10.1f  %s\n' idn_exchange_us "$exchange" "library exchange, median of $rounds runs x $count, CPU $cpu"
printf '%-28s %10.1f  %s\n' loop_p50_us "$loop" "siclquill-cli loop pass, median of $rounds runs x $count, CPU $cpu"
awk -v l="$loop" -v e="$exchange" 'BEGIN { printf "%-28s %10.1f  %s\n", "loop_overhead_pct", (l / e - 1) * 100, "target <= 5" }'

# One long loop: its resident memory early on and at the end.
"$cli" -s "$pm" --json loop 22 '*IDN?' --count "$long" >"$work/long" &
loop_pid=$!
pids+=($loop_pid)
# The first sample is taken 1 s in, when the loop runs steadily (in a short smoke loop,
# whatever the first sample is).
first=
last=
samples=0
while kill -0 "$loop_pid" 2>/dev/null; do
    rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$loop_pid/status" 2>/dev/null || true)
    if [[ -n $rss ]]; then
        samples=$((samples + 1))
        [[ -z $first || $samples -eq 5 ]] && first=$rss
        last=$rss
    fi
    sleep 0.2
done
wait "$loop_pid"
passes=$(/usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["passes"])' "$work/long")
printf '%-28s %10.2f  %s\n' loop_rss_first_mb "$(awk -v k="${first:-0}" 'BEGIN { print k / 1024 }')" "1 s into a loop of $long passes"
printf '%-28s %10.2f  %s\n' loop_rss_last_mb "$(awk -v k="${last:-0}" 'BEGIN { print k / 1024 }')" "at its end ($passes passes done)"
