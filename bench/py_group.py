"""Many small runs at once: `Runner.run_many` beside a pure-Python asyncio runner.

    python3 bench/py_group.py [--runs N] [--concurrency C] [--repeat R]

Each run is the fake agent reading its prompt and writing a short codex stream (thread started,
turn started, one agent message, turn completed). Measured, in runs per second (best of R):

- python: asyncio subprocesses under an `asyncio.Semaphore(C)`, each run's standard output read
  line by line and decoded with `json.loads` into small event objects, its standard error read
  whole and its exit status awaited; what a caller would write without the module;
- python, pidfd watcher: the same with the children watched through process descriptors (what
  asyncio does by itself from 3.12 on) instead of one waiting thread per child;
- run_many: `Runner.run_many(reqs, C)`, iterating the group's events (each event's `index` and
  `event.type` read), then `wait()` with each result's `error` and `result.final_message` read
  (goal: >= 4x python).

Every runner is bounded by how fast the machine starts processes, which a busy machine slows.
"""
import argparse
import asyncio
import json
import os
import sys
import time

from py_stream import PyEvent, best_rate
from py_support import FAKE_AGENT, Request, fake_runner

SCRIPT = "\n".join([
    "stdin",
    'out {"type":"thread.started","thread_id":"0199a213-81c0-7800-8aa1-bbab2a035a53"}',
    'out {"type":"turn.started"}',
    'out {"type":"item.completed","item":{"id":"item_0","type":"agent_message","text":"done"}}',
    'out {"type":"turn.completed","usage":{"input_tokens":1200,"cached_input_tokens":200,'
    '"output_tokens":40}}',
])


async def python_run(env):
    proc = await asyncio.create_subprocess_exec(
        FAKE_AGENT, "exec", "--json", stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env)
    proc.stdin.write(b"prompt")
    proc.stdin.close()
    stderr = asyncio.ensure_future(proc.stderr.read())
    events = []
    while True:
        line = await proc.stdout.readline()
        if not line:
            break
        line = line.strip()
        if line:
            events.append(PyEvent(line.decode(), json.loads(line)))
    await stderr
    return await proc.wait(), events


def watch_children_by_pidfd():
    """Before 3.12 asyncio waits for each child in a thread of its own; a process descriptor is
    the faster way where the platform has one (3.12 does that by itself)."""
    if sys.version_info < (3, 12) and hasattr(asyncio, "PidfdChildWatcher"):
        watcher = asyncio.PidfdChildWatcher()
        watcher.attach_loop(asyncio.get_running_loop())
        asyncio.set_child_watcher(watcher)


async def python_many(runs, concurrency, pidfd):
    if pidfd:
        watch_children_by_pidfd()
    env = dict(os.environ, VANTREL_FAKE_SCRIPT=SCRIPT)
    limit = asyncio.Semaphore(concurrency)

    async def one():
        async with limit:
            return await python_run(env)

    return await asyncio.gather(*(one() for _ in range(runs)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--concurrency", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    runner = fake_runner(SCRIPT)
    reqs = [Request(prompt="prompt") for _ in range(args.runs)]

    def python_body(pidfd):
        results = asyncio.run(python_many(args.runs, args.concurrency, pidfd))
        assert all(code == 0 and len(events) == 4 for code, events in results)

    def run_many_body():
        group = runner.run_many(reqs, args.concurrency)
        events = 0
        for event in group:
            event.index
            event.event.type
            events += 1
        results = group.wait()
        assert events == 4 * args.runs, events
        assert all(r.error is None and r.result.final_message == "done" for r in results)

    python_rate, python_s = best_rate(args.runs, args.repeat, lambda: python_body(False))
    pidfd_rate, pidfd_s = best_rate(args.runs, args.repeat, lambda: python_body(True))
    group_rate, group_s = best_rate(args.runs, args.repeat, run_many_body)

    def row(name, rate, seconds, note=""):
        print(f"{name:40} {rate:10,.0f} runs/s  {seconds:7.3f} s{note}")

    print(f"{args.runs} runs, {args.concurrency} at a time (best of {args.repeat})")
    row("python asyncio + semaphore", python_rate, python_s)
    row("python asyncio + semaphore, pidfd watcher", pidfd_rate, pidfd_s)
    ratio = group_rate / python_rate
    row("Runner.run_many", group_rate, group_s,
        f"  {ratio:5.2f}x python ({group_rate / pidfd_rate:.2f}x with pidfd watcher)"
        f"  goal >= 4x: {'met' if ratio >= 4 else 'MISSED'}")


if __name__ == "__main__":
    main()
