"""Streams one agent run through `_vantrel`: prints its events as they arrive, then the outcome.

    python3 examples/stream_run.py --agent PATH [--scenario FILE] [--prompt TEXT]

With the bundled fake agent (`build/fake_agent/fake_agent`) and a scenario file it needs no real
agent: the scenario is handed to the fake agent through the runner's environment.
"""
import argparse
import time

import _vantrel


class Request:
    """A run request: `_vantrel` reads these attributes; None means "not given"."""

    prompt = stdin = dir = model = profile = sandbox = approval = permission_mode = None
    output_schema_path = output_schema = output_last_message_path = resume_id = env = None
    add_dirs = images = allowed_tools = disallowed_tools = config = enable = disable = None
    strict_config = persistent = ignore_user_config = ignore_rules = require_git_repo = None
    dangerously_bypass_sandbox = dangerously_bypass_hooks = resume_last = resume_all = None

    def __init__(self, prompt):
        self.prompt = prompt


def describe(event):
    """One line for an event: its kind and what it carries."""
    item = event.item
    if item is not None:
        detail = {
            "command_execution": lambda: f"$ {item.command} [{item.status}]",
            "agent_message": lambda: repr(item.text),
            "reasoning": lambda: repr(item.text),
            "file_change": lambda: ", ".join(f"{c.kind} {c.path}" for c in item.changes),
        }.get(item.type, lambda: item.id)()
        return f"{event.type:15} {item.type}: {detail}"
    if event.usage is not None:
        return f"{event.type:15} input {event.usage.input_tokens}, output {event.usage.output_tokens}"
    if event.error is not None:
        return f"{event.type:15} {event.error}"
    return event.type


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agent", required=True, help="the codex executable to run")
    parser.add_argument("--scenario", help="scenario file for the fake agent")
    parser.add_argument("--prompt", default="List the files of this repository.")
    args = parser.parse_args()

    env = {"VANTREL_FAKE_SCENARIO": args.scenario} if args.scenario else None
    runner = _vantrel.Runner(executable=args.agent, env=env)

    session = runner.start(Request(args.prompt))
    print(f"run {session.id or '(not started)'}")
    start = time.monotonic()
    for event in session:
        print(f"  +{(time.monotonic() - start) * 1000:5.0f} ms  {describe(event)}")
    print(f"thread: {session.thread_id()}")

    outcome = session.wait()
    result = outcome.result
    print(f"final message: {result.final_message}")
    print(f"usage: input {result.usage.input_tokens} (cached {result.usage.cached_input_tokens}), "
          f"output {result.usage.output_tokens}")
    print(f"events kept: {len(result.events)}, "
          f"took {result.finished_at_ms - result.started_at_ms:.0f} ms")
    if result.stderr:
        print(f"stderr: {result.stderr.rstrip()}")
    error = outcome.error
    print(f"error: {f'{error.kind}: {error.message}' if error else None}")
    raise SystemExit(1 if error else 0)


if __name__ == "__main__":
    main()
