"""What the Python benchmarks share: the built module on sys.path, the fake agent, a request."""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", ROOT / "build"))
FAKE_AGENT = str(BUILD / "fake_agent" / "fake_agent")

sys.path.insert(0, str(BUILD / "python"))

import _vantrel  # noqa: E402

REQUEST_FIELDS = (
    "prompt", "stdin", "dir", "add_dirs", "images", "model", "profile", "sandbox", "approval",
    "permission_mode", "allowed_tools", "disallowed_tools", "config", "enable", "disable",
    "strict_config", "persistent", "ignore_user_config", "ignore_rules", "require_git_repo",
    "output_schema_path", "output_schema", "output_last_message_path",
    "dangerously_bypass_sandbox", "dangerously_bypass_hooks", "env", "resume_id", "resume_last",
    "resume_all",
)


class Request:
    """A run request: every attribute None unless given."""

    def __init__(self, **fields):
        for name in REQUEST_FIELDS:
            setattr(self, name, fields.get(name))


def fake_runner(script, **options):
    """A codex Runner whose agent is the fake agent playing `script`."""
    return _vantrel.Runner(executable=FAKE_AGENT, env={"VANTREL_FAKE_SCRIPT": script}, **options)
