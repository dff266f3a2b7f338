"""A long codex stream through `_vantrel`, beside a pure-Python asyncio runner of the same agent.

    python3 bench/py_stream.py [--lines N] [--repeat R] [--stream long|medium|short] [--file F]

The agent is the fake agent copying a generated file of N realistic codex JSON lines (reasoning,
command executions with their output, file changes, agent messages, turn usage; about 1.5 KB a
line on average, 700 bytes with --stream medium, 240 bytes with --stream short), or the lines of
file F, to its standard output. Measured, in events per second (best of R):

- python: asyncio subprocess, `readline`, `json.loads`, one small event object per line (its
  `type` and `item` read), collected into a list: what a caller would write without the module;
- Runner.run: the whole run to its outcome (goal: >= 10x python);
- Session: `Runner.start`, then iterating the session, reading each event's `type` and `item`
  (goal: >= 5x python); and the same iteration timed after the run has ended, which leaves the
  module's own share of the streaming;
- CPU time of a run (this process's threads and the agent, from getrusage) against that of
  `cat F | cat`: the share of the pipe's CPU time (goal: >= 0.25), best of R, alternated;
- peak memory growth of one run to its outcome, each in a process of its own, against the
  stream's size (goal: <= 1.5x on short lines, 1.25x on long ones).
"""
import argparse
import asyncio
import itertools
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time

from py_support import FAKE_AGENT, Request, fake_runner


def command_lines(item_id, command, output, exit_code):
    """The started and completed lines of one command execution."""
    item = {"id": item_id, "type": "command_execution", "command": command}
    return [
        {"type": "item.started", "item": dict(
            item, aggregated_output="", exit_code=None, status="in_progress")},
        {"type": "item.completed", "item": dict(
            item, aggregated_output=output, exit_code=exit_code, status="completed")},
    ]


def codex_lines(count, seed=7, scale=1.0):
    """`count` codex lines: one thread, turns of reasoning, commands, edits and messages; the
    sizes of texts and outputs times `scale`."""
    rng = random.Random(seed)

    def size(low, high):
        return int(rng.randrange(low, high) * scale)
    words = ("the", "module", "reads", "each", "line", "and", "builds", "one", "event", "for",
             "it", "while", "agent", "runs", "tests", "files", "repository", "change", "build")

    def prose(size):
        out = []
        total = 0
        while total < size:
            w = rng.choice(words)
            out.append(w)
            total += len(w) + 1
        return " ".join(out)

    def output(size):
        rows = []
        total = 0
        while total < size:
            row = f"src/vantrel/{rng.choice(words)}_{rng.randrange(1000)}.cpp: {prose(60)}"
            rows.append(row)
            total += len(row) + 1
        return "\n".join(rows)

    yield json.dumps({"type": "thread.started", "thread_id": "0199a213-81c0-7800-8aa1-bbab2a035a53"})
    yield json.dumps({"type": "turn.started"})
    n = 2
    item = 0
    while n < count:
        kind = rng.random()
        item_id = f"item_{item}"
        item += 1
        if kind < 0.25:
            lines = [{"type": "item.completed", "item": {
                "id": item_id, "type": "reasoning", "text": prose(size(300, 2000))}}]
        elif kind < 0.65:
            command = f"bash -lc 'rg -n {rng.choice(words)} src | head -{rng.randrange(10, 80)}'"
            lines = command_lines(item_id, command, output(size(800, 6000)),
                                  rng.choice((0, 0, 0, 1)))
        elif kind < 0.8:
            lines = [{"type": "item.completed", "item": {
                "id": item_id, "type": "file_change", "status": "completed",
                "changes": [{"path": f"src/vantrel/{rng.choice(words)}.cpp",
                             "kind": rng.choice(("add", "update", "delete"))}
                            for _ in range(rng.randrange(1, 5))]}}]
        elif kind < 0.97:
            lines = [{"type": "item.completed", "item": {
                "id": item_id, "type": "agent_message", "text": prose(size(200, 2000))}}]
        else:
            lines = [
                {"type": "turn.completed", "usage": {
                    "input_tokens": rng.randrange(10000, 90000),
                    "cached_input_tokens": rng.randrange(0, 9000),
                    "output_tokens": rng.randrange(100, 9000),
                    "reasoning_output_tokens": rng.randrange(0, 900)}},
                {"type": "turn.started"},
            ]
        for line in lines:
            if n == count:
                break
            yield json.dumps(line)
            n += 1


def short_codex_lines(count, seed=7):
    """`count` codex lines of about 240 bytes: thread and turn events, and items of every kind."""
    rng = random.Random(seed)
    words = ("the", "module", "reads", "each", "line", "and", "builds", "one", "event", "for")

    def prose(n):
        return " ".join(rng.choice(words) for _ in range(n))

    def steps():
        yield [{"type": "thread.started", "thread_id": "0199a213-81c0-7800-8aa1-bbab2a035a53"},
               {"type": "turn.started"}]
        for n in itertools.count(2):
            k = n % 10
            item_id = f"item_{n}"
            if k in (0, 1):
                yield command_lines(item_id, f"bash -lc 'rg -n {rng.choice(words)} src'",
                                    "\n".join(prose(6) for _ in range(3)), 0)
            elif k in (2, 3, 4):
                yield [{"type": "item.completed", "item": {
                    "id": item_id, "type": "agent_message", "text": prose(32)}}]
            elif k in (5, 6, 7):
                yield [{"type": "item.completed", "item": {
                    "id": item_id, "type": "reasoning", "text": f"**{prose(3)}**\n\n{prose(26)}"}}]
            elif k == 8:
                yield [{"type": "item.completed", "item": {
                    "id": item_id, "type": "file_change", "status": "completed",
                    "changes": [{"path": f"src/{rng.choice(words)}_{j}.py", "kind": "update"}
                                for j in range(3)]}}]
            else:
                yield [{"type": "turn.completed", "usage": {
                           "input_tokens": rng.randrange(90000),
                           "cached_input_tokens": rng.randrange(9000),
                           "output_tokens": rng.randrange(9000)}},
                       {"type": "turn.started"}]

    lines = itertools.chain.from_iterable(steps())
    return (json.dumps(line) for line in itertools.islice(lines, count))


# The streams to choose from: their generators by name.
STREAMS = {
    "long": codex_lines,
    "medium": lambda count: codex_lines(count, scale=0.4),
    "short": short_codex_lines,
}


def stream_file(count, kind="long"):
    """The generated stream, made once per kind and line count and kept in the temporary
    directory."""
    path = pathlib.Path(tempfile.gettempdir()) / f"vantrel-bench-{kind}-{count}.jsonl"
    if not path.exists():
        part = path.with_suffix(".part")
        make = STREAMS[kind]
        with open(part, "w") as out:
            for line in make(count):
                out.write(line)
                out.write("\n")
        part.rename(path)
    return path


class PyItem:
    __slots__ = ("id", "type", "text", "command", "aggregated_output", "exit_code", "status",
                 "changes")

    def __init__(self, raw):
        self.id = raw.get("id", "")
        self.type = raw.get("type", "")
        self.text = raw.get("text", "")
        self.command = raw.get("command", "")
        self.aggregated_output = raw.get("aggregated_output", "")
        self.exit_code = raw.get("exit_code")
        self.status = raw.get("status", "")
        self.changes = raw.get("changes", [])


class PyEvent:
    __slots__ = ("type", "thread_id", "raw", "item", "usage")

    def __init__(self, raw_line, obj):
        self.type = obj.get("type", "")
        self.thread_id = obj.get("thread_id", "")
        self.raw = raw_line
        item = obj.get("item")
        self.item = PyItem(item) if item is not None else None
        self.usage = obj.get("usage")


async def python_run(script):
    """A pure-Python runner of the same agent: events as objects, then the outcome."""
    env = dict(os.environ, VANTREL_FAKE_SCRIPT=script)
    proc = await asyncio.create_subprocess_exec(
        FAKE_AGENT, "exec", "--json", stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env,
        limit=64 * 1024 * 1024)
    proc.stdin.write(b"prompt")
    proc.stdin.close()
    stderr = asyncio.ensure_future(proc.stderr.read())
    events = []
    touched = 0
    while True:
        line = await proc.stdout.readline()
        if not line:
            break
        line = line.strip()
        if not line:
            continue
        event = PyEvent(line.decode(), json.loads(line))
        touched += event.type is not None and event.item is not None
        events.append(event)
    await stderr
    await proc.wait()
    return events


def current_rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def peak_growth(who, script):
    """Bytes the peak resident set of this process grows by over one run, kept to its end. The
    peak is reset first: a forked process starts with its parent's."""
    runner = fake_runner(script)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = current_rss()
    if who == "python":
        kept = asyncio.run(python_run(script))
    else:
        kept = runner.run(Request(prompt="prompt"))
    peak = peak_rss()
    del kept
    return peak - before


def cpu_seconds(body):
    """The CPU time of this process's threads and of the children it waited for, over `body`."""
    def now():
        me = resource.getrusage(resource.RUSAGE_SELF)
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        return me.ru_utime + me.ru_stime + children.ru_utime + children.ru_stime
    start = now()
    body()
    return now() - start


def least(a, b):
    return b if a is None else min(a, b)


def best_rate(count, repeat, body):
    """Events per second of the fastest of `repeat` calls (a body may time itself)."""
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        timed = body()
        elapsed = timed if timed is not None else time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return count / best, best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--stream", choices=tuple(STREAMS), default="long",
                        help="lines of about 1.5 KB, 700 bytes or 240 bytes")
    parser.add_argument("--short", action="store_const", const="short", dest="stream",
                        help="the same as --stream short")
    parser.add_argument("--file", type=pathlib.Path, help="a stream of codex lines to play instead")
    parser.add_argument("--peak-of", choices=("python", "runner"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    path = args.file or stream_file(args.lines, args.stream)
    if args.file:
        with open(path, "rb") as f:
            args.lines = sum(1 for line in f if line.strip())
    if args.peak_of:
        print(peak_growth(args.peak_of, f"cat {path}"))
        return
    size = path.stat().st_size
    print(f"stream: {path.name}: {args.lines} lines, {size / 1e6:.1f} MB "
          f"({size / args.lines:.0f} B a line)")
    script = f"cat {path}"
    runner = fake_runner(script)
    request = Request(prompt="prompt")

    def python_body():
        events = asyncio.run(python_run(script))
        assert len(events) == args.lines, len(events)

    def run_body():
        outcome = runner.run(request)
        assert outcome.error is None, outcome.error.message
        assert len(outcome.result.events) == args.lines

    def read_all(session):
        n = 0
        for event in session:
            event.type
            event.item
            n += 1
        assert n == args.lines, n

    def session_body():
        session = runner.start(request)
        read_all(session)
        assert session.wait().error is None

    def ended_session_body():
        # The run ends first: what is left is the module's own side of the stream (the
        # forwarder's hand-over, taking events in batches, making and reading PyEvent objects).
        session = runner.start(request)
        assert session.wait().error is None
        start = time.perf_counter()
        read_all(session)
        return time.perf_counter() - start

    def run_only_body():
        assert runner.run(request).error is None

    def pipe_body():
        subprocess.run(f"cat {path} | cat > /dev/null", shell=True, check=True)

    # CPU time, alternated: a pipe's wall time swings with the machine's load.
    pipe_cpu = run_cpu = python_cpu = None
    for _ in range(args.repeat):
        pipe_cpu = least(pipe_cpu, cpu_seconds(pipe_body))
        run_cpu = least(run_cpu, cpu_seconds(run_only_body))
        python_cpu = least(python_cpu, cpu_seconds(python_body))

    python_rate, python_s = best_rate(args.lines, args.repeat, python_body)
    run_rate, run_s = best_rate(args.lines, args.repeat, run_only_body)
    run_all_rate, run_all_s = best_rate(args.lines, args.repeat, run_body)
    session_rate, session_s = best_rate(args.lines, args.repeat, session_body)
    ended_rate, ended_s = best_rate(args.lines, args.repeat, ended_session_body)

    def row(name, rate, seconds, goal=None):
        ratio = rate / python_rate
        verdict = "" if goal is None else f"  goal >= {goal}x: {'met' if ratio >= goal else 'MISSED'}"
        print(f"{name:38} {rate:12,.0f} events/s  {seconds:7.3f} s  {ratio:6.2f}x{verdict}")

    row("python asyncio + json.loads", python_rate, python_s)
    row("Runner.run to its outcome", run_rate, run_s, 10)
    row("Runner.run + reading result.events", run_all_rate, run_all_s)
    row("Session iteration (type, item)", session_rate, session_s, 5)
    row("  the same after the run ended", ended_rate, ended_s)
    print(f"CPU time (this process and its agents, best of {args.repeat}): "
          f"cat | cat {pipe_cpu:.3f} s, Runner.run {run_cpu:.3f} s, python {python_cpu:.3f} s")
    share = pipe_cpu / run_cpu
    print(f"Runner.run: {share:.2f} of the pipe's CPU time (goal >= 0.25: "
          f"{'met' if share >= 0.25 else 'MISSED'}), {python_cpu / run_cpu:.1f}x python's")

    for who in ("python", "runner"):
        command = [sys.executable, __file__, "--lines", str(args.lines), "--peak-of", who]
        command += ["--file", str(path)] if args.file else ["--stream", args.stream]
        growth = float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        print(f"peak memory growth, {who:6} run: {growth / 1e6:7.1f} MB = {growth / size:.2f}x "
              "the stream")


if __name__ == "__main__":
    main()
