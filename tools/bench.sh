#!/usr/bin/env bash
# Runs every benchmark against the gateway simulator on a free loopback port and prints one
# table: figure, value, floor or reference (measured in the same run), ratio, target, met?
#
# Usage: tools/bench.sh BUILD_DIR [--smoke]
#   --smoke  every benchmark once with few iterations (CI: it must run and print; the
#            figures mean nothing then and no target is judged)
#
# Environment: BENCH_REPEATS (runs of siclquill-bench whose medians are taken, default 5),
# BENCH_CLIENTS (default 32), BENCH_LOAD_COUNT (exchanges per client, default 1000),
# BENCH_CPU (the CPU of the one-CPU runs, default the first one this script may use),
# BENCH_BULK_BYTES (the block of the bulk figures, default 64 MiB), BENCH_ADAPTER_RUNS (block
# transfers each way of each run of the `++` adapter figures, default 15).
set -euo pipefail

build=${1:?usage: tools/bench.sh BUILD_DIR [--smoke]}
smoke=0
[[ ${2:-} == --smoke ]] && smoke=1
build=$(cd "$build" && pwd)

gateway_bin=$build/gateway/siclquill-gateway
bench_bin=$build/bench/siclquill-bench
micro_bin=$build/bench/siclquill-microbench
startup_bin=$build/bench/siclquill-startup-bench
for b in "$gateway_bin" "$bench_bin"; do
    [[ -x $b ]] || { echo "bench.sh: $b is missing; build first" >&2; exit 1; }
done

if ((smoke)); then
    repeats=1 count=5 walks=1 clients=4 load_count=20 startup_runs=1
    bulk_bytes=1048576 bulk_runs=1 transport_bulk_runs=1 adapter_runs=1
    micro_args=(--benchmark_min_time=0.001)
else
    repeats=${BENCH_REPEATS:-5} count=300 walks=7
    clients=${BENCH_CLIENTS:-32} load_count=${BENCH_LOAD_COUNT:-1000} startup_runs=9
    bulk_bytes=${BENCH_BULK_BYTES:-67108864} bulk_runs=5 transport_bulk_runs=3
    adapter_runs=${BENCH_ADAPTER_RUNS:-15}
    micro_args=(--benchmark_min_time=0.2 --benchmark_repetitions=5
        --benchmark_report_aggregates_only=true)
fi

work=$(mktemp -d)
gw_pid=
gw_fd=
# Starts the simulator with the demo bench and ARGS on free ports; its ready line names them.
start_simulator() {
    exec {gw_fd}< <(exec "$gateway_bin" --demo --portmapper 0 "$@")
    gw_pid=$!
    ready=
    read -r -t 20 -u "$gw_fd" ready || true
    [[ $ready == ready\ portmapper=* ]] || { echo "bench.sh: simulator not ready: '$ready'" >&2; exit 1; }
    portmapper=${ready#ready portmapper=}
    portmapper=${portmapper%% *}
    hislip_port=$(sed -n 's/.* hislip=\([0-9]*\).*/\1/p' <<<"$ready")
    socket_port=$(sed -n 's/.* socket=\([0-9]*\).*/\1/p' <<<"$ready")
    echo "# simulator $ready (pid $gw_pid)"
}
stop_simulator() {
    if [[ -n $gw_pid ]]; then
        kill "$gw_pid" 2>/dev/null || true
        wait "$gw_pid" 2>/dev/null || true
        exec {gw_fd}<&-
    fi
    gw_pid=
}
# The processes of the `++` adapter figures: two simulators presenting their bench as an
# adapter, and the bridge to the first.
side_pids=()
side_fds=()
# Starts siclquill-gateway with ARGS; its ready line goes into $side_ready.
start_side() {
    local fd
    exec {fd}< <(exec "$gateway_bin" "$@" 2>>"$work/sides.err")
    side_pids+=("$!")
    side_fds+=("$fd")
    side_ready=
    read -r -t 20 -u "$fd" side_ready || true
    [[ $side_ready == ready\ * ]] || { echo "bench.sh: not ready: '$side_ready' ($*)" >&2; exit 1; }
}
stop_sides() {
    local pid fd
    for pid in "${side_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${side_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    for fd in "${side_fds[@]}"; do exec {fd}<&-; done
    side_pids=()
    side_fds=()
}
cleanup() {
    stop_simulator
    stop_sides
    rm -rf "$work"
}
trap cleanup EXIT

rss_kb() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

echo "# machine: $(nproc) cores; $(uptime)"
# The demo bench as `siclquill-gateway --demo` serves it, for everything but the load: the
# simulator looks at every instrument's service request after each call, so instruments
# added for the load would make every other figure dearer.
start_simulator
[[ -n $hislip_port && -n $socket_port ]] || { echo "bench.sh: no HiSLIP or socket port: '$ready'" >&2; exit 1; }

# ---- query exchange and discovery walk: medians over repeated runs, each with its own floor.
# Where the bench and the simulator run decides what an exchange costs more than anything they
# do (on two idle virtual CPUs a round trip across them costs about four times one on a single
# CPU), and the scheduler picks one way or the other for each new pair. So the runs are made
# twice: the simulator and the bench on one CPU, where the ratio to the floor (taken on that
# CPU) measures the library; and as a user runs them, left to the scheduler, against the
# fastest placement of the floor.
allowed=$(awk '$1 == "Cpus_allowed_list:" { print $2 }' /proc/self/status)
cpu=${BENCH_CPU:-$(sed 's/[-,].*//' <<<"$allowed")}
taskset -a -p -c "$cpu" "$gw_pid" >/dev/null
for ((i = 1; i <= repeats; i++)); do
    taskset -c "$cpu" "$bench_bin" --server "$portmapper" --address 22 --count "$count" \
        --walks "$walks" >"$work/lib.$i"
done

# ---- each transport to the same LAN instrument (inst0): the query exchange against the bare
# round trips that transport needs and a block read and written against bare TCP, simulator
# and bench on one CPU; pyvisa-py beside them on the same instrument (reported, not judged).
# VXI-11 goes through the lan;vxi-11 form, since a VISA VXI-11 string asks port 111.
transports=(vxi-11 hislip socket)
declare -A resource=(
    [vxi-11]="lan;vxi-11[$portmapper]:inst0"
    [hislip]="TCPIP::127.0.0.1::hislip0,$hislip_port::INSTR"
    [socket]="TCPIP::127.0.0.1::$socket_port::SOCKET")
for ((i = 1; i <= repeats; i++)); do
    for t in "${transports[@]}"; do
        taskset -c "$cpu" "$bench_bin" --resource "${resource[$t]}" --count "$count" \
            --bulk "$bulk_bytes" --runs "$transport_bulk_runs" >"$work/res.$t.$i"
    done
done
: >"$work/pyvisa"
if /usr/bin/python3 -c 'import pyvisa, pyvisa_py' 2>/dev/null; then
    taskset -c "$cpu" /usr/bin/python3 "$(dirname "$0")/../bench/pyvisa_bench.py" \
        --socket "$socket_port" --hislip "$hislip_port" --count "$count" --bulk "$bulk_bytes" \
        --runs "$transport_bulk_runs" >"$work/pyvisa"
else
    echo "bench.sh: pyvisa-py is not installed (/usr/bin/python3): its rows are left out" >&2
fi
taskset -a -p -c "$allowed" "$gw_pid" >/dev/null
for ((i = 1; i <= repeats; i++)); do
    "$bench_bin" --server "$portmapper" --address 22 --count "$count" --walks "$walks" \
        >"$work/free.$i"
done

# ---- bulk: a waveform block from the LAN instrument and the GPIB scope, each against a bare
# TCP transfer of the same bytes taken in turn with it
gw_hwm_before_bulk=$(rss_kb "$gw_pid" VmHWM)
"$bench_bin" --server "$portmapper" --device inst0 --bulk "$bulk_bytes" --runs "$bulk_runs" \
    >"$work/bulk.inst0"
"$bench_bin" --server "$portmapper" --address 9 --bulk "$bulk_bytes" --runs "$bulk_runs" \
    >"$work/bulk.gpib9"
gw_hwm_bulk=$(rss_kb "$gw_pid" VmHWM)
stop_simulator

# ---- load: the same load twice, so that growth from one run to the next shows. Each load
# client gets an instrument of its own (siclquill-bench's loadAddress: primary 10 and up,
# secondary 1-30), since clients sharing one would interrupt each other's unread answers.
load_instruments=()
for ((c = 0; c < clients; c++)); do
    load_instruments+=(--instrument "$((10 + c / 30)),$((1 + c % 30))=LOAD,$c")
done
start_simulator "${load_instruments[@]}"
gw_rss_before=$(rss_kb "$gw_pid" VmRSS)
load_status=0
"$bench_bin" --server "$portmapper" --address 22 --clients "$clients" --count "$load_count" \
    >"$work/load.1" 2>"$work/load.1.err" || load_status=$?
gw_rss_after1=$(rss_kb "$gw_pid" VmRSS)
gw_hwm1=$(rss_kb "$gw_pid" VmHWM)
"$bench_bin" --server "$portmapper" --address 22 --clients "$clients" --count "$load_count" \
    >"$work/load.2" 2>"$work/load.2.err" || load_status=$?
gw_rss_after2=$(rss_kb "$gw_pid" VmRSS)
gw_hwm2=$(rss_kb "$gw_pid" VmHWM)
cat "$work"/load.*.err >&2
stop_simulator

# ---- a real bus's road, on the simulator's `++` adapter over loopback TCP, for each flavour:
# VXI-11 client -> the bridge (siclquill-gateway --adapter) -> adapter, against a bare `++`
# client speaking to a second simulator started the same way (a TCP adapter serves one client
# at a time), and the bare client again through a relay process that only copies bytes to a
# third one: what a second hop costs any bridge. Everything on one CPU, as above.
for flavour in ar488 prologix; do
    start_side --demo --portmapper 0 --plusplus 0 --plusplus-flavour "$flavour"
    behind=$(sed -n 's/.* plusplus=\([0-9]*\).*/\1/p' <<<"$side_ready")
    start_side --demo --portmapper 0 --plusplus 0 --plusplus-flavour "$flavour"
    bare=$(sed -n 's/.* plusplus=\([0-9]*\).*/\1/p' <<<"$side_ready")
    start_side --demo --portmapper 0 --plusplus 0 --plusplus-flavour "$flavour"
    relayed=$(sed -n 's/.* plusplus=\([0-9]*\).*/\1/p' <<<"$side_ready")
    start_side --portmapper 0 --adapter "127.0.0.1:$behind"
    bridge=$(sed -n 's/ready portmapper=\([^ ]*\).*/\1/p' <<<"$side_ready")
    echo "# bridge $side_ready"
    for pid in "${side_pids[@]}"; do taskset -a -p -c "$cpu" "$pid" >/dev/null; done
    for ((i = 1; i <= repeats; i++)); do
        taskset -c "$cpu" "$bench_bin" --server "$bridge" --plusplus "127.0.0.1:$bare" \
            --relay "127.0.0.1:$relayed" --count "$count" --runs "$adapter_runs" \
            >"$work/adapter.$flavour.$i"
    done
    stop_sides
done

# ---- micro benchmarks
: >"$work/micro.csv"
if [[ -x $micro_bin ]]; then
    "$micro_bin" "${micro_args[@]}" --benchmark_format=csv >"$work/micro.csv" 2>/dev/null
fi

# ---- window start-up, under Xvfb unless a platform was chosen
: >"$work/startup"
if [[ -x $startup_bin ]]; then
    if [[ -n ${QT_QPA_PLATFORM:-} && ${QT_QPA_PLATFORM} != xcb ]] || [[ -n ${DISPLAY:-} ]]; then
        "$startup_bin" --runs "$startup_runs" >"$work/startup"
    elif command -v xvfb-run >/dev/null; then
        QT_QPA_PLATFORM=xcb xvfb-run -a "$startup_bin" --runs "$startup_runs" >"$work/startup"
    else
        echo "bench.sh: no display and no xvfb-run: start-up not measured" >&2
    fi
fi

# ---- the table
awk -v smoke="$smoke" -v repeats="$repeats" -v clients="$clients" -v load_count="$load_count" -v cpu="$cpu" \
    -v rss0="$gw_rss_before" -v rss1="$gw_rss_after1" -v rss2="$gw_rss_after2" \
    -v hwm1="$gw_hwm1" -v hwm2="$gw_hwm2" -v hwm0b="$gw_hwm_before_bulk" -v hwmb="$gw_hwm_bulk" -v load_status="$load_status" '
function median(list,    n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    if (n == 0) return ""
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function row(figure, value, reference, ratio, target, met) {
    printf "%-34s %14s %26s %8s %12s %5s\n", figure, value, reference, ratio, target, (smoke ? "-" : met)
}
function verdict(ok) { return ok ? "yes" : "NO" }
FILENAME ~ /lib\.[0-9]+$/ { v[$1] = v[$1] " " $2; next }
FILENAME ~ /free\.[0-9]+$/ { u[$1] = u[$1] " " $2; next }
FILENAME ~ /res\.[a-z0-9-]+\.[0-9]+$/ {
    base = FILENAME; sub(/.*\//, "", base); split(base, part, ".")
    r[part[2], $1] = r[part[2], $1] " " $2
    next
}
FILENAME ~ /pyvisa$/ { key = $1; $1 = ""; sub(/^ /, ""); py[key] = $0; next }
FILENAME ~ /adapter\.[a-z0-9]+\.[0-9]+$/ {
    base = FILENAME; sub(/.*\//, "", base); split(base, part, ".")
    ad[part[2], $1] = ad[part[2], $1] " " $2
    next
}
FILENAME ~ /bulk\.inst0$/ { b["inst0", $1] = $2; next }
FILENAME ~ /bulk\.gpib9$/ { b["9", $1] = $2; next }
FILENAME ~ /load\.1$/ { l1[$1] = $2; next }
FILENAME ~ /load\.2$/ { l2[$1] = $2; next }
FILENAME ~ /micro\.csv$/ {
    if ($0 !~ /^"?BM_/) next
    n = split($0, f, ",")
    name = f[1]; gsub(/"/, "", name)
    if (name ~ /_(mean|stddev|cv)$/) next
    sub(/_median$/, "", name)
    micro[name] = f[4]; unit[name] = f[5]; bps[name] = f[6]  # CPU time: load on the machine inflates real time
    order[++nmicro] = name
    next
}
FILENAME ~ /startup$/ { s[$1] = $2; next }
END {
    printf "%-34s %14s %26s %8s %12s %5s\n", "figure", "value", "floor or reference", "ratio", "target", "met?"
    idn = median(v["idn_exchange_us"]); idnf = median(v["idn_floor_us"]); ir = median(v["idn_ratio"])
    row(sprintf("idn_exchange_us (CPU %s)", cpu), sprintf("%.1f", idn), sprintf("%.1f (2 bare TCP RTs)", idnf),
        sprintf("%.2f", ir), "<= 3x", verdict(ir <= 3))
    walk = median(v["discovery_walk_us"]); walkf = median(v["discovery_floor_us"]); wr = median(v["discovery_ratio"])
    row(sprintf("discovery_walk_us (CPU %s)", cpu), sprintf("%.0f", walk),
        sprintf("%.0f (%d x %.1f us)", walkf, median(v["discovery_calls"]), median(v["docmd_roundtrip_us"])),
        sprintf("%.2f", wr), "<= 1.5x", verdict(wr <= 1.5))
    row("idn_exchange_us (any CPU)", sprintf("%.1f", median(u["idn_exchange_us"])),
        sprintf("%.1f (fastest placement)", median(u["idn_floor_us"])), sprintf("%.2f", median(u["idn_ratio"])),
        "reported", "-")
    row("discovery_walk_us (any CPU)", sprintf("%.0f", median(u["discovery_walk_us"])),
        sprintf("%.0f (fastest placement)", median(u["discovery_floor_us"])),
        sprintf("%.2f", median(u["discovery_ratio"])), "reported", "-")
    cross = median(u["docmd_floor_cross_cpu_us"])
    row("docmd_roundtrip_us (one CPU)", sprintf("%.1f", median(u["docmd_floor_same_cpu_us"])),
        cross != "" ? sprintf("%.1f (across two CPUs)", cross) : "(one CPU only)", "", "-", "-")
    # Each transport to inst0, simulator and bench on one CPU; pyvisa-py beside them.
    split("vxi-11 hislip socket", kinds, " ")
    for (k = 1; k <= 3; k++) {
        t = kinds[k]
        rt = median(r[t, "idn_round_trips"]); ratio = median(r[t, "idn_ratio"])
        row(sprintf("idn_exchange_us (%s, CPU %s)", t, cpu), sprintf("%.1f", median(r[t, "idn_exchange_us"])),
            sprintf("%.1f (%d bare TCP RT%s)", median(r[t, "idn_floor_us"]), rt, rt > 1 ? "s" : ""),
            sprintf("%.2f", ratio), "<= 1.5x", verdict(ratio != "" && ratio <= 1.5))
    }
    if ("pyvisa_idn_exchange_us" in py) {
        ours = median(r["socket", "idn_exchange_us"])
        row(sprintf("pyvisa_idn_us (socket, CPU %s)", cpu), py["pyvisa_idn_exchange_us"],
            sprintf("%.1f (ours, socket)", ours),
            sprintf("%.2f", ours > 0 ? py["pyvisa_idn_exchange_us"] / ours : 0), "reported", "-")
    }
    if ("pyvisa_hislip_idn_exchange_us" in py) {
        ours = median(r["hislip", "idn_exchange_us"])
        row(sprintf("pyvisa_idn_us (hislip, CPU %s)", cpu), py["pyvisa_hislip_idn_exchange_us"],
            sprintf("%.1f (ours, hislip)", ours),
            sprintf("%.2f", ours > 0 ? py["pyvisa_hislip_idn_exchange_us"] / ours : 0), "reported", "-")
    } else if ("pyvisa_hislip_unsupported" in py) {
        row(sprintf("pyvisa_idn_us (hislip, CPU %s)", cpu), "none", "no HiSLIP client", "", "reported", "-")
    }
    for (k = 1; k <= 3; k++) {
        t = kinds[k]
        judged = t != "vxi-11"
        block = median(r[t, "bulk_block_mb"])
        ratio = median(r[t, "bulk_read_ratio"])
        row(sprintf("bulk_read_mb_s (%s, CPU %s)", t, cpu), sprintf("%.0f", median(r[t, "bulk_read_mb_s"])),
            sprintf("%.0f (bare TCP, %g MiB)", median(r[t, "bulk_floor_mb_s"]), block), sprintf("%.2f", ratio),
            judged ? ">= 0.8x" : "reported", judged ? verdict(ratio != "" && ratio >= 0.8) : "-")
        ratio = median(r[t, "bulk_write_ratio"])
        row(sprintf("bulk_write_mb_s (%s, CPU %s)", t, cpu), sprintf("%.0f", median(r[t, "bulk_write_mb_s"])),
            sprintf("%.0f (bare TCP, %g MiB)", median(r[t, "bulk_write_floor_mb_s"]), block), sprintf("%.2f", ratio),
            judged ? ">= 0.8x" : "reported", judged ? verdict(ratio != "" && ratio >= 0.8) : "-")
    }
    if ("pyvisa_bulk_read_mb_s" in py) {
        ours = median(r["socket", "bulk_read_mb_s"])
        row(sprintf("pyvisa_read_mb_s (socket, CPU %s)", cpu), sprintf("%.0f", py["pyvisa_bulk_read_mb_s"]),
            sprintf("%.0f (ours, socket)", ours),
            sprintf("%.2f", ours > 0 ? py["pyvisa_bulk_read_mb_s"] / ours : 0), "reported", "-")
    }
    # The bridge to a `++` adapter against a bare `++` client, each flavour, on one CPU.
    split("ar488 prologix", flavours, " ")
    for (k = 1; k <= 2; k++) {
        fl = flavours[k]
        idn = median(ad[fl, "adapter_idn_us"]); bare = median(ad[fl, "adapter_idn_us_bare"])
        row(sprintf("adapter_idn_us (%s, CPU %s)", fl, cpu), sprintf("%.1f", idn), sprintf("%.1f (bare ++)", bare),
            sprintf("%.2f", median(ad[fl, "adapter_idn_us_ratio"])), "reported", "-")
        row(sprintf("  bridge adds (us)"), sprintf("%.1f", median(ad[fl, "adapter_idn_added_us"])), "", "", "reported", "-")
        row(sprintf("  bare ++ through a relay"), sprintf("%.1f", median(ad[fl, "adapter_idn_us_relay"])),
            sprintf("%.1f (bare ++)", bare), sprintf("%.2f", median(ad[fl, "adapter_idn_us_relay_ratio"])),
            "reported", "-")
        ratio = median(ad[fl, "adapter_read_mb_s_ratio"])
        row(sprintf("adapter_read_mb_s (%s, 1 MiB)", fl), sprintf("%.0f", median(ad[fl, "adapter_read_mb_s"])),
            sprintf("%.0f (bare ++)", median(ad[fl, "adapter_read_mb_s_bare"])), sprintf("%.2f", ratio),
            ">= 0.8x", verdict(ratio != "" && ratio >= 0.8))
        row(sprintf("  bare ++ through a relay"), sprintf("%.0f", median(ad[fl, "adapter_read_mb_s_relay"])),
            sprintf("%.0f (bare ++)", median(ad[fl, "adapter_read_mb_s_bare"])),
            sprintf("%.2f", median(ad[fl, "adapter_read_mb_s_relay_ratio"])), "reported", "-")
        row(sprintf("adapter_write_mb_s (%s, 100 kB)", fl), sprintf("%.0f", median(ad[fl, "adapter_write_mb_s"])),
            sprintf("%.0f (bare ++)", median(ad[fl, "adapter_write_mb_s_bare"])),
            sprintf("%.2f", median(ad[fl, "adapter_write_mb_s_ratio"])), "reported", "-")
    }
    # One link on one CPU: left to the scheduler, one link alone costs 40 or 140 us an
    # exchange on an idle machine depending on where it lands, too unsteady for a reference.
    single = idn > 0 ? 1e6 / idn : 0
    row(sprintf("exchanges_per_s (%dx%d)", clients, load_count), sprintf("%.0f", l1["exchanges_per_s"]),
        sprintf("%.0f (1 link, 1 exchange)", single), sprintf("%.2f", single > 0 ? l1["exchanges_per_s"] / single : 0),
        "reported", verdict(l1["exchanges_per_s"] > 0))
    row("exchanges_per_s (second load)", sprintf("%.0f", l2["exchanges_per_s"]), "", "", "reported",
        verdict(l2["exchanges_per_s"] > 0))
    row("load_exchange_p99_us", sprintf("%.0f", l1["load_exchange_p99_us"]),
        sprintf("%.0f (p50)", l1["load_exchange_p50_us"]), "", "-", "-")
    row("load errors (both loads)", l1["errors"] + l2["errors"], sprintf("%d exchanges", l1["exchanges"] + l2["exchanges"]),
        "", "0", verdict(load_status == 0 && l1["errors"] + l2["errors"] == 0))
    row("gateway_rss_mb after load 1", sprintf("%.1f", rss1 / 1024), sprintf("%.1f (before load)", rss0 / 1024),
        sprintf("%.2f", rss0 > 0 ? rss1 / rss0 : 0), "bounded", "-")
    row("gateway_rss_mb after load 2", sprintf("%.1f", rss2 / 1024), sprintf("%.1f (after load 1)", rss1 / 1024),
        sprintf("%.2f", rss1 > 0 ? rss2 / rss1 : 0), "no growth", verdict(rss2 <= rss1 * 1.1 + 1024))
    row("gateway_peak_rss_mb (VmHWM)", sprintf("%.1f", hwm2 / 1024), sprintf("%.1f (after load 1)", hwm1 / 1024),
        sprintf("%.2f", hwm1 > 0 ? hwm2 / hwm1 : 0), "no growth", verdict(hwm2 <= hwm1 * 1.1 + 1024))
    for (k = 1; k <= 2; k++) {
        d = k == 1 ? "inst0" : "9"
        block = b[d, "bulk_block_mb"]
        row(sprintf("bulk_read_mb_s (%s)", d), sprintf("%.0f", b[d, "bulk_read_mb_s"]),
            sprintf("%.0f (bare TCP, %g MiB)", b[d, "bulk_floor_mb_s"], block),
            sprintf("%.2f", b[d, "bulk_read_ratio"]), ">= 0.5x", verdict(b[d, "bulk_read_ratio"] >= 0.5))
        row(sprintf("bulk_write_mb_s (%s)", d), sprintf("%.0f", b[d, "bulk_write_mb_s"]),
            "split at maxRecvSize", sprintf("%.2f", b[d, "bulk_write_ratio"]), "reported", "-")
        row(sprintf("bulk_rss_growth_mb (%s)", d), sprintf("%.1f", b[d, "bulk_rss_growth_mb"]),
            sprintf("%g (the block)", block), sprintf("%.2f", block > 0 ? b[d, "bulk_rss_growth_mb"] / block : 0),
            "<= 1.5x", verdict(block > 0 && b[d, "bulk_rss_growth_mb"] <= 1.5 * block))
    }
    # The simulator makes a waveform as it sends it: its peak must not follow the block.
    row("gateway_peak_rss_mb after bulk", sprintf("%.1f", hwmb / 1024), sprintf("%.1f (before the blocks)", hwm0b / 1024),
        sprintf("%.2f", hwm0b > 0 ? hwmb / hwm0b : 0), "<< block", verdict(hwmb - hwm0b < block * 1024 / 4))
    if ("startup_first_paint_ms" in s) {
        row("startup_first_paint_ms (median)", sprintf("%.1f", s["startup_first_paint_ms"]),
            sprintf("%.1f (empty Qt window)", s["startup_bare_first_paint_ms"]),
            sprintf("%.2f", s["startup_ratio_to_bare"]), "< 300 ms", verdict(s["startup_first_paint_ms"] < 300))
        row("startup_first_paint_ms (fastest)", sprintf("%.1f", s["startup_first_paint_min_ms"]),
            sprintf("of %d runs", s["startup_runs"]), "", "-", "-")
        row("startup_rss_mb (at first paint)", sprintf("%.1f", s["startup_rss_mb"]),
            sprintf("%.1f (empty Qt window)", s["startup_bare_rss_mb"]),
            sprintf("%.2f", s["startup_bare_rss_mb"] > 0 ? s["startup_rss_mb"] / s["startup_bare_rss_mb"] : 0),
            "< 60 MB", verdict(s["startup_rss_mb"] < 60))
        row("  main() entered at (ms)", sprintf("%.1f", s["startup_main_entered_ms"]), "libraries loaded", "", "-", "-")
        row("  QApplication made at (ms)", sprintf("%.1f", s["startup_qapplication_ms"]), "display connected", "", "-", "-")
        row("  window built, shown at (ms)", sprintf("%.1f", s["startup_window_shown_ms"]), "then first paint", "", "-", "-")
    } else {
        row("startup_first_paint_ms", "not measured", "", "", "< 300 ms", "NO")
    }
    for (i = 1; i <= nmicro; i++) {
        name = order[i]
        extra = bps[name] != "" ? sprintf("%.0f MB/s", bps[name] / 1e6) : ""
        row(name, sprintf("%.1f %s cpu", micro[name], unit[name]), extra, "", "-", "-")
    }
    if (!smoke) printf "# medians of %d runs; each ratio against floors taken in turn with the measurement\n", repeats
    if (!smoke) printf "# CPU %s: simulator and bench on that CPU; any CPU: left to the scheduler\n", cpu
    if ("pyvisa_version" in py)
        printf "# pyvisa %s, pyvisa-py %s, /usr/bin/python3, the same instrument (inst0 on the raw socket)\n", py["pyvisa_version"], py["pyvisa_py_version"]
    if ("pyvisa_hislip_unsupported" in py) printf "# pyvisa-py and HiSLIP: %s\n", py["pyvisa_hislip_unsupported"]
}' "$work"/lib.* "$work"/res.* "$work/pyvisa" "$work"/adapter.* "$work"/free.* "$work/bulk.inst0" "$work/bulk.gpib9" "$work/load.1" "$work/load.2" "$work/micro.csv" "$work/startup"

# ---- the command line: one-shot start, loop overhead, memory of a long loop
if ((!smoke)) && [[ -x $build/cli/siclquill-cli ]]; then
    echo
    "$(dirname "$0")/cli-bench.sh" "$build"
fi
