"""The project's build backend (PEP 517): builds `_vantrel` with the project's CMake and packs what
CMake installs for a wheel, the module and its type stubs, into one stable-ABI wheel.

It needs nothing but the standard library, under every CPython from 3.10 on, so `pip install .`
fetches nothing: the few `[project]` keys it uses are plain strings, read from `pyproject.toml`
without a TOML library (3.10 has none). One setting, given as `pip ... --config-settings build-dir=DIR`:
the CMake build tree to use, `build-wheel` below the source by default. A tree that is already
configured keeps its configuration, so pointing it at `build` reuses the developer build.
"""
import base64
import hashlib
import io
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
# One wheel serves every CPython from 3.10 on: the module is built against the 3.10 stable ABI
# (Py_LIMITED_API in python/CMakeLists.txt).
PYTHON_ABI_TAG = "cp310-abi3"
# The install component of python/CMakeLists.txt that holds what the wheel ships.
WHEEL_COMPONENT = "python"


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = read_project()
    info = pathlib.Path(metadata_directory) / dist_info_name(project)
    info.mkdir(parents=True, exist_ok=True)
    for name, text in dist_info_files(project).items():
        (info / name).write_text(text, encoding="utf-8")
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = read_project()
    path = pathlib.Path(wheel_directory) / f"{dist_base_name(project)}-{wheel_tag()}.whl"
    with tempfile.TemporaryDirectory() as staging:
        build_and_install(build_dir_of(config_settings), pathlib.Path(staging))
        write_wheel(path, pathlib.Path(staging), project)
    return path.name


def build_sdist(sdist_directory, config_settings=None):
    project = read_project()
    base = dist_base_name(project)
    path = pathlib.Path(sdist_directory) / f"{base}.tar.gz"
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for relative in tracked_files():
            sdist.add(ROOT / relative, f"{base}/{relative}", recursive=False)
        pkg_info = metadata_text(project).encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size, entry.mode = len(pkg_info), 0o644
        sdist.addfile(entry, io.BytesIO(pkg_info))
    return path.name


# The `[project]` keys the wheel and sdist metadata are made of: each a basic string on one line.
PROJECT_KEYS = ("name", "version", "description", "readme", "requires-python")
# A `key = "value"` line; the value holds no quote or backslash, as each of those keys' does.
KEY_LINE = re.compile(r'([A-Za-z0-9_-]+)\s*=\s*"([^"\\]*)"\s*(?:#.*)?')
TABLE_LINE = re.compile(r"\[([^\]]*)\]\s*(?:#.*)?")


def read_project(text=None):
    """The `[project]` keys of PROJECT_KEYS from `pyproject.toml` (or `text`), by name. Any other
    form of those keys (an escape, a multi-line or literal string) is refused, not misread."""
    if text is None:
        text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    project, table = {}, None
    for line in text.splitlines():
        line = line.strip()
        if heading := TABLE_LINE.fullmatch(line):
            table = heading.group(1).strip()
        elif table == "project" and (key := line.split("=", 1)[0].strip()) in PROJECT_KEYS:
            entry = KEY_LINE.fullmatch(line)
            if not entry:
                raise ValueError(f"pyproject.toml: [project] {key} is not a plain one-line string")
            project[key] = entry.group(2)
    missing = [key for key in PROJECT_KEYS if key not in project]
    if missing:
        raise ValueError(f"pyproject.toml: [project] lacks {', '.join(missing)}")
    return project


def dist_base_name(project):
    """`name-version`, the name escaped as wheel and sdist file names want it."""
    return f"{re.sub(r'[-_.]+', '_', project['name']).lower()}-{project['version']}"


def dist_info_name(project):
    return f"{dist_base_name(project)}.dist-info"


def wheel_tag():
    return f"{PYTHON_ABI_TAG}-{re.sub(r'[-.]', '_', sysconfig.get_platform())}"


def metadata_text(project):
    readme = ROOT / project["readme"]
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
            f"Summary: {project['description']}\nRequires-Python: {project['requires-python']}\n"
            f"Description-Content-Type: text/markdown\n\n{readme.read_text(encoding='utf-8')}")


def dist_info_files(project):
    """The wheel's metadata files but its RECORD, by name."""
    wheel = (f"Wheel-Version: 1.0\nGenerator: {__name__}\nRoot-Is-Purelib: false\n"
             f"Tag: {wheel_tag()}\n")
    return {"METADATA": metadata_text(project), "WHEEL": wheel}


def build_dir_of(config_settings):
    given = (config_settings or {}).get("build-dir")
    return pathlib.Path(given).resolve() if given else ROOT / "build-wheel"


def cmake(*args):
    subprocess.run(["cmake", *map(str, args)], check=True)


def build_and_install(build_dir, staging):
    """Builds the module in `build_dir` and installs the wheel's component, stripped, into
    `staging`. A new tree is configured as a release build for the running interpreter."""
    if not (build_dir / "CMakeCache.txt").exists():
        cmake("-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
              f"-DPython3_EXECUTABLE={sys.executable}")
    jobs = os.environ.get("VANTREL_JOBS")
    cmake("--build", build_dir, "--target", "_vantrel", *(["-j", jobs] if jobs else []))
    cmake("--install", build_dir, "--component", WHEEL_COMPONENT, "--prefix", staging, "--strip")


def write_wheel(path, staging, project):
    """Zips the staged files and the metadata, with the RECORD of their hashes last."""
    info = dist_info_name(project)
    records = []
    with zipfile.ZipFile(path, "w") as wheel:

        def add(entry, data):
            wheel.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            records.append(f"{entry.filename},sha256={digest.decode()},{len(data)}\n")

        for file in sorted(p for p in staging.rglob("*") if p.is_file()):
            name = file.relative_to(staging).as_posix()
            add(zipfile.ZipInfo.from_file(file, name), file.read_bytes())
        for name, text in dist_info_files(project).items():
            add(metadata_entry(f"{info}/{name}"), text.encode())
        records.append(f"{info}/RECORD,,\n")
        wheel.writestr(metadata_entry(f"{info}/RECORD"), "".join(records),
                       compress_type=zipfile.ZIP_DEFLATED)


def metadata_entry(name):
    entry = zipfile.ZipInfo(name)
    entry.external_attr = 0o644 << 16
    return entry


def tracked_files():
    """The files of the source tree: those git tracks, so build trees stay out."""
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True,
                            check=True).stdout.decode()
    return [name for name in listed.split("\0") if name]
