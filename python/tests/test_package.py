"""The package: `pip wheel` builds one stable-ABI wheel of the module, its watchdog program and
its type stubs; it installs into a fresh virtual environment and imports there under every
CPython 3.10+ on this machine, and a type checker finds the installed stubs. `pip install
--no-index .` builds and installs from the source under the oldest of them, which has no TOML
reader. The sdist holds the source."""
import concurrent.futures
import os
import pathlib
import subprocess
import sys
import tarfile
import zipfile

import pytest

from conftest import BUILD, ROOT, interpreters, version_of

sys.path.insert(0, str(ROOT / "python" / "backend"))
import cmake_backend  # noqa: E402

DIST = "vantrel-0.1.0"
SERVED = [python for python in interpreters() if version_of(python) >= (3, 10)]
OLDEST_SERVED = [python for python in SERVED if version_of(python) == (3, 10)]
# pip without network or questions: every install here comes from the one wheel.
PIP = ["-m", "pip", "--disable-pip-version-check", "--no-input"]


def run(args, **kwargs):
    """Runs a command; a failure fails the test with its output."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel pip builds from the source tree, reusing the suite's build tree."""
    out = tmp_path_factory.mktemp("wheel")
    run(["/usr/bin/python3", *PIP, "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "--wheel-dir", out, "--config-settings", f"build-dir={BUILD}", ROOT])
    [path] = out.glob("*.whl")
    return path


@pytest.fixture(scope="module")
def venvs(wheel, tmp_path_factory):
    """Per served interpreter, a fresh virtual environment with the wheel installed by its own
    pip, or what failed; made side by side, as each takes seconds."""
    base = tmp_path_factory.mktemp("venvs")

    def make(numbered):
        number, python = numbered
        venv = base / str(number)
        try:
            run([python, "-m", "venv", venv])
            run([venv / "bin" / "python", *PIP, "install", "--no-index", "--no-deps", wheel])
        except AssertionError as failure:
            return python, failure
        return python, venv

    with concurrent.futures.ThreadPoolExecutor() as pool:
        return dict(pool.map(make, enumerate(SERVED)))


def venv_of(venvs, python):
    made = venvs[python]
    if isinstance(made, AssertionError):
        raise made
    return made


def test_wheel_is_one_stable_abi_wheel_of_module_watchdog_and_stubs(wheel):
    assert wheel.name == f"{DIST}-cp310-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(wheel) as archive:
        assert sorted(archive.namelist()) == [
            "_vantrel-stubs/__init__.pyi",
            "_vantrel.abi3.so",
            "_vantrel.pyi",
            f"{DIST}.dist-info/METADATA",
            f"{DIST}.dist-info/RECORD",
            f"{DIST}.dist-info/WHEEL",
            "vantrel-watchdog",
        ]
        # Installed executable, as the module starts it.
        assert archive.getinfo("vantrel-watchdog").external_attr >> 16 & 0o111
        assert "Tag: cp310-abi3-linux_x86_64\n" in archive.read(f"{DIST}.dist-info/WHEEL").decode()
        stubs = [archive.read(name) for name in ("_vantrel-stubs/__init__.pyi", "_vantrel.pyi")]
    assert stubs == [(ROOT / "python" / "_vantrel.pyi").read_bytes()] * 2


@pytest.mark.parametrize("python", SERVED)
def test_installed_wheel_imports_under(python, venvs, tmp_path):
    venv = venv_of(venvs, python)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = run([venv / "bin" / "python", "-c", "import _vantrel; print(_vantrel.__file__)"],
              cwd=tmp_path, env=env)
    assert out.startswith(str(venv)) and out.endswith("/site-packages/_vantrel.abi3.so\n")
    assert os.access(pathlib.Path(out.strip()).with_name("vantrel-watchdog"), os.X_OK)


def test_type_checker_finds_installed_stubs(venvs, tmp_path):
    (tmp_path / "use.py").write_text(
        "import _vantrel\nreveal_type(_vantrel.get_claude_account_usage().error)\n")
    python = venv_of(venvs, "/usr/bin/python3") / "bin" / "python"
    out = run(["/usr/bin/python3", "-m", "mypy", "--strict", "--no-incremental",
               "--python-executable", python, "use.py"], cwd=tmp_path)
    assert 'Revealed type is "Union[_vantrel.PyError, None]"' in out, out


@pytest.mark.skipif(not OLDEST_SERVED, reason="no CPython 3.10 on this machine")
def test_pip_installs_the_source_offline_under_3_10(tmp_path):
    venv = tmp_path / "venv"
    run([OLDEST_SERVED[0], "-m", "venv", venv])
    # With build isolation, as a user's `pip install .` runs; the suite's tree saves a build.
    run([venv / "bin" / "python", *PIP, "install", "--no-index", "--config-settings",
         f"build-dir={BUILD}", ROOT])
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = run([venv / "bin" / "python", "-c", "import _vantrel; print(_vantrel.__file__)"],
              cwd=tmp_path, env=env)
    assert out.startswith(str(venv)) and out.endswith("/site-packages/_vantrel.abi3.so\n")


def test_backend_reads_the_project_keys_as_a_toml_reader_does():
    import tomllib

    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    keys = cmake_backend.PROJECT_KEYS
    assert cmake_backend.read_project(text) == {k: tomllib.loads(text)["project"][k] for k in keys}
    # Another table's keys of the same names and trailing comments are no concern; a form the
    # backend cannot read is refused, as is a missing key.
    text = ('[tool.other]\nname = "no"\n[project]\nname = "a" # c\nversion = "1"\n'
            'description = "d e"\nreadme = "R.md"\nrequires-python = ">=3.10"\n')
    assert cmake_backend.read_project(text) == tomllib.loads(text)["project"]
    for refused in [text.replace('"a"', "'a'"), text.replace('"d e"', r'"d\"e"'),
                    text.replace('version = "1"\n', "")]:
        with pytest.raises(ValueError, match=r"\[project\]"):
            cmake_backend.read_project(refused)


def test_sdist_holds_the_source_and_its_metadata(tmp_path):
    name = cmake_backend.build_sdist(str(tmp_path))
    assert name == f"{DIST}.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        names = set(sdist.getnames())
        pkg_info = sdist.extractfile(f"{DIST}/PKG-INFO").read().decode()
    for source in ["pyproject.toml", "CMakeLists.txt", "python/CMakeLists.txt",
                   "python/_vantrel.pyi", "python/backend/cmake_backend.py"]:
        assert f"{DIST}/{source}" in names
    assert not any(n.startswith(f"{DIST}/build") for n in names)
    assert pkg_info.startswith("Metadata-Version: 2.1\nName: vantrel\nVersion: 0.1.0\n")
