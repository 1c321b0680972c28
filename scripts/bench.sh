#!/usr/bin/env bash
# Builds the benchmarks (Release, Google Benchmark) in build/bench, runs them all and prints
# one table: each measurement next to its baseline from the same run, and their time ratio.
#
#   scripts/bench.sh                 five repetitions of each benchmark, fastest compared
#   scripts/bench.sh --quick         one repetition (a smoke test)
#
# The raw results stay in build/bench/<program>.json. Times are CPU times and each figure is
# the fastest repetition, so other load on a shared machine skews the ratios less than the
# absolute figures.
set -uo pipefail
cd "$(dirname "$0")/.."

reps=5
[ "${1:-}" = "--quick" ] && reps=1

build=build/bench
programs=(parser_bench pipeline_bench record_bench commands_bench capture_write_bench)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DN95_BUILD_BENCHMARKS=ON \
  -DN95_BUILD_TESTS=OFF >"$build-configure.log" 2>&1 || { cat "$build-configure.log"; exit 1; }
cmake --build "$build" -j2 --target "${programs[@]}" >"$build-build.log" 2>&1 \
  || { grep -E -A5 'error' "$build-build.log" | head -n 40; exit 1; }

for p in "${programs[@]}"; do
  echo "running $p" >&2
  "$build/bin/$p" --benchmark_repetitions="$reps" \
    --benchmark_out="$build/$p.json" --benchmark_out_format=json >"$build/$p.txt" 2>&1 \
    || { cat "$build/$p.txt"; exit 1; }
done

model=$(lscpu 2>/dev/null | sed -nE 's/^Model name: *//p' | head -n 1)
cores=$(nproc)
python3 - "$build" "$reps" "${model:-unknown}" "$cores" "$(date -u '+%Y-%m-%d %H:%M UTC')" <<'EOF'
import json, sys
build, reps = sys.argv[1], int(sys.argv[2])
cpu_model, cores, when = sys.argv[3], sys.argv[4], sys.argv[5]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
runs = {}
context = None
for p in ["parser_bench", "pipeline_bench", "record_bench", "commands_bench",
          "capture_write_bench"]:
    data = json.load(open(f"{build}/{p}.json"))
    context = context or data["context"]
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            sys.exit(f"{b['name']}: {b.get('error_message')}")
        # The fastest repetition of each benchmark (its counters come with it).
        if b.get("run_type") != "iteration":
            continue
        best = runs.get(b["run_name"])
        if best is None or b["cpu_time"] < best["cpu_time"]:
            runs[b["run_name"]] = b

def seconds(name):  # CPU time of one iteration
    b = runs[name]
    return b["cpu_time"] * scale[b["time_unit"]]

rows = []
def row(what, value, baseline, base_value, ratio):
    rows.append((what, value, baseline, base_value, "%.2f" % ratio))

for size in (16, 64, 256, 1024):
    frames = 65536 // (10 + size)
    chunk = frames * (10 + size)
    p = seconds(f"BM_Parser/{size}")
    m = seconds(f"BM_Memcpy/{size}")
    model = seconds(f"BM_ByteModel/{size}")
    gbs = lambda t: "%.2f GB/s" % (chunk / t / 1e9)
    row(f"parser, {size}-byte payloads", gbs(p), "memcpy of the chunk", gbs(m), p / m)
    row(f"parser, {size}-byte payloads", gbs(p), "byte-at-a-time model", gbs(model), p / model)

fps = lambda name: runs[name]["frames/s"]
pipe, alone = fps("BM_WholePipeline"), fps("BM_ParserAlone")
row("state-3 pipeline, 64-byte payloads", "%.2f M frames/s" % (pipe / 1e6),
    "parser alone", "%.2f M frames/s" % (alone / 1e6), alone / pipe)

base = runs["BM_Interpolate/10000"]["ns/record"]
for n in (10000, 100000, 1000000):
    v = runs[f"BM_Interpolate/{n}"]["ns/record"]
    row(f"interpolation, 10^{len(str(n)) - 1} host records", "%.1f ns/record" % v,
        "10^4 host records", "%.1f ns/record" % base, v / base)

c = seconds("BM_CopyFreeRecord")
ns = lambda t: "%.0f ns" % (t * 1e9)
for blocks, name in (("1 block", "BM_MallocCopyFreeWhole"), ("5 blocks", "BM_MallocCopyFreeParts")):
    b = seconds(name)
    row("CopyTestRecord+FreeTestRecord, kind 2", ns(c), "malloc+memcpy+free, " + blocks,
        ns(b), c / b)

for i, action in enumerate(("0 dial", "521 sector lock", "590 GSM scan", "580 BA lock")):
    m, s = seconds(f"BM_MakeTestCommands/{i}"), seconds(f"BM_SnprintfBaseline/{i}")
    row(f"MakeTestCommands, action {action}", ns(m), "snprintf, values known", ns(s), m / s)

# Wall time: the capture's writes and fdatasync wait for the kernel and the disk.
wall = lambda name: runs[name]["real_time"] * scale[runs[name]["time_unit"]]
us = lambda t: "%.1f us/chunk" % (t / 1000 * 1e6)
buffered = wall("BM_CaptureBufferedBaseline/real_time")
for name, what in (("BM_CaptureWritePerChunk/real_time", "live capture, write(2) per chunk"),
                   ("BM_CaptureWritePerChunkSync/10/real_time",
                    "... and fdatasync every 10 chunks")):
    row(what, us(wall(name)), "libpcap buffered, written at the end", us(buffered),
        wall(name) / buffered)

head = ("measurement", "value", "baseline (same run)", "baseline value", "time ratio")
widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(5)]
def line(r):
    cells = [str(r[i]).ljust(widths[i]) for i in range(4)] + [str(r[4]).rjust(widths[4])]
    return "  ".join(cells)
print(line(head))
print("  ".join("-" * w for w in widths))
for r in rows:
    print(line(r))
print(f"\ntime ratio = time per unit of the measurement / time per unit of its baseline; "
      f"{'fastest of %d repetitions' % reps if reps > 1 else 'one repetition'}, CPU time.")
print(f"machine: {cpu_model}, {cores} cores at {context['mhz_per_cpu']} MHz; {when}")
EOF
