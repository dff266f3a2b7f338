"""Streams one agent run through `_vantrel` and prints its events and outcome.

    python3 examples/stream_run.py --agent PATH [--scenario FILE] [--prompt TEXT]

With the bundled fake agent (`build/fake_agent/fake_agent`) and a scenario file it needs no real
agent: the scenario is handed to the fake agent through the runner's environment.
"""
import argparse

import _vantrel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agent", required=True, help="the codex executable to run")
    parser.add_argument("--scenario", help="scenario file for the fake agent")
    parser.add_argument("--prompt", default="List the files of this repository.")
    args = parser.parse_args()

    print(f"module: {_vantrel.__name__}: {_vantrel.__doc__}")
    if not hasattr(_vantrel, "Runner"):
        print("this build has no Runner yet; nothing to run")
        return
    env = {"VANTREL_FAKE_SCENARIO": args.scenario} if args.scenario else None
    runner = _vantrel.Runner(executable=args.agent, env=env)

    class Request:
        prompt = args.prompt

    session = runner.start(Request())
    print(f"run {session.id}")
    for event in session:
        item = f" {event.item.kind}" if event.item is not None else ""
        print(f"  event {event.type}{item}")
    outcome = session.wait()
    result = outcome.result
    print(f"thread: {result.thread_id}")
    print(f"final message: {result.final_message}")
    print(f"usage: input {result.usage.input_tokens}, output {result.usage.output_tokens}")
    print(f"error: {outcome.error.message if outcome.error else None}")


if __name__ == "__main__":
    main()
