#!/usr/bin/env bash
# Run-engine benchmarks beside their baselines: event throughput against a plain pipe, spawn rate
# against Python asyncio, event latency, and peak memory of a large run. Figures only: nothing
# here passes or fails on speed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_tree build-bench -DCMAKE_BUILD_TYPE=Release -DVANTREL_BENCH=ON -DVANTREL_PYTHON=OFF
bench=$root/build-bench/bench/bench_engine
agent=$root/build-bench/fake_agent/fake_agent
work=$(mktemp -d /tmp/vantrel-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
lines=${VANTREL_BENCH_LINES:-200000}

echo "=== generating $lines codex lines"
/usr/bin/python3 - "$work/stream.jsonl" "$lines" <<'PY'
import json, random, sys
path, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
words = "the a build test file function value error result change module output line".split()
def text(n):
    return " ".join(random.choice(words) for _ in range(n))
with open(path, "w") as f:
    f.write(json.dumps({"type": "thread.started", "thread_id": "th-1"}) + "\n")
    for i in range(count - 1):
        k = i % 4
        if k == 0:
            item = {"id": f"item_{i}", "type": "command_execution", "command": "bash -lc 'make test'",
                    "aggregated_output": text(400), "exit_code": 0, "status": "completed"}
        elif k == 1:
            item = {"id": f"item_{i}", "type": "agent_message", "text": text(300)}
        elif k == 2:
            item = {"id": f"item_{i}", "type": "reasoning", "text": text(250)}
        else:
            item = {"id": f"item_{i}", "type": "file_change", "status": "completed",
                    "changes": [{"path": f"src/file_{i}.py", "kind": "update"}] * 20}
        f.write(json.dumps({"type": "item.completed", "item": item}) + "\n")
PY
ls -l "$work/stream.jsonl" | awk '{printf "stream: %.1f MB\n", $5 / 1e6}'

echo "=== 1 and 4: event throughput and peak memory"
cat "$work/stream.jsonl" > /dev/null  # warm the page cache
start=$(date +%s.%N)
cat "$work/stream.jsonl" | cat > /dev/null
end=$(date +%s.%N)
/usr/bin/python3 -c "import os,sys; s=os.path.getsize(sys.argv[1]); t=float(sys.argv[3])-float(sys.argv[2]); print(f'baseline: cat | cat: {s/1e6:.1f} MB in {t:.3f} s: {s/1e6/t:.1f} MB/s')" \
  "$work/stream.jsonl" "$start" "$end"
for how in wait shared no-reader; do "$bench" throughput "$work/stream.jsonl" $how; done

echo "=== 2: spawn rate, 1000 runs, 64 at a time"
"$bench" spawn 1000 64
VANTREL_FAKE_SCRIPT="" /usr/bin/python3 - "$agent" <<'PY'
import asyncio, sys, time
agent = sys.argv[1]
async def one(sem):
    async with sem:
        p = await asyncio.create_subprocess_exec(agent, "exec", stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
        await p.communicate(b"go")
async def main():
    sem = asyncio.Semaphore(64)
    start = time.perf_counter()
    await asyncio.gather(*(one(sem) for _ in range(1000)))
    t = time.perf_counter() - start
    print(f"baseline: asyncio.create_subprocess_exec: 1000 runs, 64 at a time, in {t:.3f} s: {1000/t:.0f} runs/s")
asyncio.run(main())
PY

echo "=== 3: latency, one line every 5 ms"
"$bench" latency 400 5
