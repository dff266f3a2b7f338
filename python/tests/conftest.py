"""Shared fixtures of the module tests: the built module on sys.path and the fake agent."""
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VANTREL_BUILD_DIR", ROOT / "build"))
MODULE_DIR = BUILD / "python"
FAKE_AGENT = BUILD / "fake_agent" / "fake_agent"

sys.path.insert(0, str(MODULE_DIR))


@pytest.fixture
def fake_agent():
    """Path of the fake agent program (stands in for codex, claude and grok)."""
    assert FAKE_AGENT.exists(), f"build the project first: {FAKE_AGENT} is missing"
    return str(FAKE_AGENT)
