"""Throughput of our JSON reading and line decoding against Python's json.loads, on the same lines.

Writes a realistic codex session and a realistic claude session (one JSON line per line, a few KB
for the large ones) into OUT_DIR, times json.loads over each, runs the C++ benchmark program over
the same files and prints MB/s (10^6 bytes of line text per second) with the ratio to json.loads.

    json_bench.py BENCH_PROGRAM OUT_DIR [--quick]
"""

import json
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

WORDS = (
    "the a test file value error line return config build module function we run check read "
    "write parse result output input path state event stream token usage agent item change "
    "update list string number object array index cache thread turn message command exit code "
    "déjà café naïve → ✓ — 日本語 🚀"
).split()

CODE_LINES = [
    "def parse(line: str) -> dict:",
    '    """Parse one line."""',
    "    return json.loads(line)",
    "if (r.ok()) { return value; }",
    '    print(f"{name}: {value!r}")',
    "\tfor (std::size_t i = 0; i < n; ++i) sum += data[i];",
    "import os, sys",
    '    raise ValueError("bad \\"input\\"")',
    "fn main() -> Result<(), Box<dyn Error>> {",
    "    let x = vec![1, 2, 3]; // → three",
]


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def prose(rng, size):
    parts = []
    while sum(len(p) for p in parts) < size:
        parts.append(words(rng, rng.randint(6, 18)).capitalize() + ".")
        if rng.random() < 0.2:
            parts.append("\n\n- `" + rng.choice(WORDS) + "`: " + words(rng, 8) + "\n")
    return " ".join(parts)


def output(rng, size):
    lines = []
    while sum(len(line) + 1 for line in lines) < size:
        kind = rng.random()
        if kind < 0.5:
            lines.append(rng.choice(CODE_LINES))
        elif kind < 0.8:
            lines.append(f"src/{rng.choice(WORDS)}/{rng.choice(WORDS)}.py:{rng.randint(1, 999)}: "
                         + words(rng, 6))
        else:
            lines.append(f"-rw-r--r-- 1 user user {rng.randint(10, 99999):>6} Dec 10 12:00 "
                         f"{rng.choice(WORDS)}.txt")
    return "\n".join(lines) + "\n"


def dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def codex_item(kind, number, **fields):
    return {"id": f"item_{number}", "type": kind, **fields}


def codex_session(rng, turns):
    """A codex session: per turn some reasoning and commands with their output, a file change,
    the agent's answer and the usage."""
    thread = "0199a213-81c0-7800-8aa1-bbab2a035a53"
    lines = [dumps({"type": "thread.started", "thread_id": thread})]
    item = 0
    for _ in range(turns):
        lines.append(dumps({"type": "turn.started"}))
        for _ in range(rng.randint(2, 5)):
            reasoning = codex_item("reasoning", item, text=prose(rng, rng.randint(200, 800)))
            lines.append(dumps({"type": "item.completed", "item": reasoning}))
            pattern, count = rng.choice(WORDS), rng.randint(5, 200)
            command = f"bash -lc 'rg -n \"{pattern}\" src | head -n {count}'"
            started = codex_item("command_execution", item + 1, command=command,
                                 aggregated_output="", exit_code=None, status="in_progress")
            lines.append(dumps({"type": "item.started", "item": started}))
            done = dict(started, aggregated_output=output(rng, rng.randint(1000, 8000)),
                        exit_code=rng.choice([0, 0, 0, 1]), status="completed")
            lines.append(dumps({"type": "item.completed", "item": done}))
            item += 2
        changes = [{"path": f"/repo/src/{rng.choice(WORDS)}_{i}.py",
                    "kind": rng.choice(["add", "update", "delete"])}
                   for i in range(rng.randint(1, 5))]
        change = codex_item("file_change", item, changes=changes, status="completed")
        answer = codex_item("agent_message", item + 1, text=prose(rng, rng.randint(300, 3000)))
        item += 2
        lines.append(dumps({"type": "item.completed", "item": change}))
        lines.append(dumps({"type": "item.completed", "item": answer}))
        usage = {"input_tokens": rng.randint(10_000, 200_000),
                 "cached_input_tokens": rng.randint(0, 9000),
                 "output_tokens": rng.randint(100, 5000),
                 "reasoning_output_tokens": rng.randint(0, 900)}
        lines.append(dumps({"type": "turn.completed", "usage": usage}))
    return lines


SESSION = "5f0c1e2a-3b4d-4e5f-8a9b-0c1d2e3f4a5b"
TOOLS = ["Task", "Bash", "Glob", "Grep", "Read", "Edit", "MultiEdit", "Write", "WebFetch",
         "TodoWrite", "WebSearch", "NotebookEdit"]
BASE64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def claude_usage(rng):
    return {"input_tokens": rng.randint(1, 999),
            "cache_creation_input_tokens": rng.randint(0, 9999),
            "cache_read_input_tokens": rng.randint(0, 99999),
            "output_tokens": rng.randint(1, 9999),
            "service_tier": "standard"}


def claude_assistant(rng, number, block):
    """An assistant line; claude writes each content block of a message as a line of its own."""
    message = {"id": f"msg_01{number:022d}", "type": "message", "role": "assistant",
               "model": "claude-sonnet", "content": [block], "stop_reason": None,
               "stop_sequence": None, "usage": claude_usage(rng)}
    return dumps({"type": "assistant", "message": message, "parent_tool_use_id": None,
                  "session_id": SESSION, "uuid": f"uuid-{number}"})


def claude_tool(rng, tool_id):
    """A tool use block, and the content and tool_use_result of its result."""
    if rng.random() < 0.6:
        command = f"pytest -q tests/test_{rng.choice(WORDS)}.py"
        use = {"type": "tool_use", "id": tool_id, "name": "Bash",
               "input": {"command": command, "description": words(rng, 5)}}
        text = output(rng, rng.randint(1000, 8000))
        return use, text, {"stdout": text, "stderr": "", "interrupted": False, "isImage": False}
    path = f"/repo/src/{rng.choice(WORDS)}.py"
    use = {"type": "tool_use", "id": tool_id, "name": "Edit",
           "input": {"file_path": path, "old_string": output(rng, 300),
                     "new_string": output(rng, 400)}}
    text = f"The file {path} has been updated. Here's the result:\n" + output(rng, 1500)
    patch = {"oldStart": 1, "oldLines": 3, "newStart": 1, "newLines": 4,
             "lines": text.splitlines()[:20]}
    return use, text, {"filePath": path, "oldString": "x", "newString": "y",
                       "structuredPatch": [patch]}


def claude_result(rng, final, number):
    model = {"inputTokens": rng.randint(10, 999), "outputTokens": rng.randint(10, 9999),
             "cacheReadInputTokens": rng.randint(0, 99999),
             "cacheCreationInputTokens": rng.randint(0, 9999), "webSearchRequests": 0,
             "costUSD": round(rng.random(), 6), "contextWindow": 200000}
    return dumps({"type": "result", "subtype": "success", "is_error": False,
                  "duration_ms": rng.randint(1000, 90000),
                  "duration_api_ms": rng.randint(1000, 90000), "num_turns": rng.randint(1, 30),
                  "result": final, "session_id": SESSION, "total_cost_usd": round(rng.random(), 6),
                  "usage": dict(claude_usage(rng), server_tool_use={"web_search_requests": 0}),
                  "modelUsage": {"claude-sonnet": model}, "permission_denials": [],
                  "uuid": f"uuid-end{number}"})


def claude_session(rng, turns):
    """A claude session: per turn some thinking, text and tool calls with their results, the
    final answer and the result line."""
    lines = [dumps({"type": "system", "subtype": "init", "cwd": "/repo", "session_id": SESSION,
                    "tools": TOOLS, "mcp_servers": [], "model": "claude-sonnet",
                    "permissionMode": "default", "slash_commands": ["compact", "review"],
                    "apiKeySource": "none", "output_style": "default",
                    "uuid": "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d"})]
    number = 0
    for _ in range(turns):
        for _ in range(rng.randint(2, 6)):
            signature = "".join(rng.choice(BASE64) for _ in range(rng.randint(300, 1200)))
            thinking = {"type": "thinking", "thinking": prose(rng, rng.randint(200, 1500)),
                        "signature": signature}
            text = {"type": "text", "text": prose(rng, rng.randint(100, 800))}
            use, content, tool_use_result = claude_tool(rng, f"toolu_01{number:022d}")
            for block in (thinking, text, use):
                number += 1
                lines.append(claude_assistant(rng, number, block))
            result = {"tool_use_id": use["id"], "type": "tool_result", "content": content,
                      "is_error": False}
            lines.append(dumps({"type": "user",
                                "message": {"role": "user", "content": [result]},
                                "parent_tool_use_id": None, "session_id": SESSION,
                                "uuid": f"uuid-r{number}", "tool_use_result": tool_use_result}))
        final = prose(rng, rng.randint(200, 1500))
        number += 1
        lines.append(claude_assistant(rng, number, {"type": "text", "text": final}))
        lines.append(claude_result(rng, final, number))
    return lines


def loads_mb_per_s(lines, min_seconds, repeats):
    """The median over `repeats` runs of json.loads passes over all lines, each run at least
    `min_seconds` long."""
    size = sum(len(line.encode()) for line in lines)
    figures = []
    for _ in range(repeats):
        passes, start = 0, time.perf_counter()
        while True:
            for line in lines:
                json.loads(line)
            passes += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_seconds:
                break
        figures.append(size * passes / elapsed / 1e6)
    return statistics.median(figures)


def native_mb_per_s(program, files, min_seconds, repeats):
    """Median bytes per second of each benchmark of the C++ program, by name, in MB/s."""
    completed = subprocess.run(
        [program, *map(str, files), "--benchmark_format=json",
         f"--benchmark_min_time={min_seconds}", f"--benchmark_repetitions={repeats}",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True)
    figures = {}
    for run in json.loads(completed.stdout)["benchmarks"]:
        if run.get("error_occurred"):
            sys.exit(f"{run['run_name']}: {run.get('error_message')}")
        # One repetition gives only the plain run, more give their median too.
        if run.get("aggregate_name", "median") == "median":
            figures[run["run_name"]] = run["bytes_per_second"] / 1e6
    return figures


def main():
    args = [a for a in sys.argv[1:] if a != "--quick"]
    if len(args) != 2:
        sys.exit(__doc__)
    quick = "--quick" in sys.argv
    program, out_dir = args[0], Path(args[1])
    min_seconds, repeats = (0.1, 1) if quick else (1.0, 3)
    out_dir.mkdir(parents=True, exist_ok=True)
    rng = random.Random(20261210)
    sessions = {"codex": codex_session(rng, 40), "claude": claude_session(rng, 30)}
    files = []
    for name, lines in sessions.items():
        path = out_dir / f"{name}.jsonl"
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        files.append(path)
        size = path.stat().st_size
        print(f"{name}: {len(lines)} lines, {size / 1e6:.2f} MB, "
              f"{size / len(lines) / 1e3:.1f} KB a line")

    baseline = {name: loads_mb_per_s(lines, min_seconds, repeats)
                for name, lines in sessions.items()}
    native = native_mb_per_s(program, files, min_seconds, repeats)
    rows = [(f"json.loads (python {sys.version.split()[0]})", name, baseline[name])
            for name in sessions]
    labels = {"validate": "strict validation", "typed": "typed event records",
              "decode": "line decoder"}
    for run_name, figure in native.items():
        kind, name = run_name.split("/")
        rows.append((labels.get(kind, kind), name, figure))
    print(f"\n{'measure':<28} {'lines':<7} {'MB/s':>9} {'x json.loads':>13}")
    for label, name, figure in rows:
        print(f"{label:<28} {name:<7} {figure:>9.1f} {figure / baseline[name]:>13.2f}")


if __name__ == "__main__":
    main()
