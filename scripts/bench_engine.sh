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

echo "=== generating two codex streams of $lines lines: ~1.7 KB and ~240 bytes a line"
/usr/bin/python3 - "$work" "$lines" <<'PY'
import json, random, sys
work, count = sys.argv[1], int(sys.argv[2])
words = "the a build test file function value error result change module output line".split()
def text(rng, n):
    return " ".join(rng.choice(words) for _ in range(n))

def long_lines(rng):
    yield {"type": "thread.started", "thread_id": "th-1"}
    for i in range(count - 1):
        k = i % 4
        if k == 0:
            item = {"id": f"item_{i}", "type": "command_execution", "command": "bash -lc 'make test'",
                    "aggregated_output": text(rng, 400), "exit_code": 0, "status": "completed"}
        elif k == 1:
            item = {"id": f"item_{i}", "type": "agent_message", "text": text(rng, 300)}
        elif k == 2:
            item = {"id": f"item_{i}", "type": "reasoning", "text": text(rng, 250)}
        else:
            item = {"id": f"item_{i}", "type": "file_change", "status": "completed",
                    "changes": [{"path": f"src/file_{i}.py", "kind": "update"}] * 20}
        yield {"type": "item.completed", "item": item}

# Short lines as a codex session writes them: thread and turn events, and items of every kind,
# command output with its line breaks.
def short_lines(rng):
    yield {"type": "thread.started", "thread_id": "0199a213-81c0-7800-8aa1-bbab2a035a53"}
    yield {"type": "turn.started"}
    n = 2
    while n < count:
        i = n
        k = i % 10
        if k in (0, 1):
            cmd = f"bash -lc 'rg -n {rng.choice(words)} src'"
            lines = [{"type": "item.started", "item": {"id": f"item_{i}", "type": "command_execution",
                      "command": cmd, "aggregated_output": "", "exit_code": None,
                      "status": "in_progress"}},
                     {"type": "item.completed", "item": {"id": f"item_{i}", "type": "command_execution",
                      "command": cmd, "aggregated_output": "\n".join(text(rng, 6) for _ in range(3)),
                      "exit_code": 0, "status": "completed"}}]
        elif k in (2, 3, 4):
            lines = [{"type": "item.completed", "item": {"id": f"item_{i}", "type": "agent_message",
                      "text": text(rng, 32)}}]
        elif k in (5, 6, 7):
            lines = [{"type": "item.completed", "item": {"id": f"item_{i}", "type": "reasoning",
                      "text": "**" + text(rng, 3) + "**\n\n" + text(rng, 26)}}]
        elif k == 8:
            lines = [{"type": "item.completed", "item": {"id": f"item_{i}", "type": "file_change",
                      "status": "completed", "changes": [{"path": f"src/{rng.choice(words)}_{j}.py",
                      "kind": "update"} for j in range(3)]}}]
        else:
            lines = [{"type": "turn.completed", "usage": {"input_tokens": rng.randrange(90000),
                      "cached_input_tokens": rng.randrange(9000), "output_tokens": rng.randrange(9000)}},
                     {"type": "turn.started"}]
        for line in lines:
            if n < count:
                yield line
                n += 1

for name, make in (("long", long_lines), ("short", short_lines)):
    with open(f"{work}/{name}.jsonl", "w") as f:
        for line in make(random.Random(7)):
            f.write(json.dumps(line) + "\n")
PY

# pipe_rate FILE: MB/s of `cat FILE | cat`, the page cache warm, best of three.
pipe_rate() {
  cat "$1" > /dev/null
  local times=() start end
  for _ in 1 2 3; do
    start=$(date +%s.%N)
    cat "$1" | cat > /dev/null
    end=$(date +%s.%N)
    times+=("$start" "$end")
  done
  /usr/bin/python3 -c "import os,sys; s=os.path.getsize(sys.argv[1]); t=[float(b)-float(a) for a,b in zip(sys.argv[2::2],sys.argv[3::2])]; print(f'{s/1e6/min(t):.1f}')" \
    "$1" "${times[@]}"
}

for name in long short; do
  file=$work/$name.jsonl
  /usr/bin/python3 -c "import os,sys; s=os.path.getsize(sys.argv[1]); n=sum(1 for _ in open(sys.argv[1])); print(f'=== 1 and 4 ({sys.argv[2]} lines): {s/1e6:.1f} MB, {s/n:.0f} bytes a line')" "$file" "$name"
  pipe=$(pipe_rate "$file")
  echo "baseline: cat | cat: $pipe MB/s (best of 3)"
  for how in wait shared no-reader; do "$bench" throughput "$file" $how "$pipe"; done
done

echo "=== 2: spawn rate, 1000 runs, 64 at a time, beside a bare posix_spawn loop"
"$bench" spawn 1000 64
"$bench" spawn 1000 64 /bin/true
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
