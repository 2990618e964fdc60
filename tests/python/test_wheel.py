"""The release wheel that ``./dev dist`` builds, installed as a user would
install it: into fresh virtual environments of the oldest and the newest
CPython the package supports, on a system without Snappy. Its modules carry
Snappy and the C++ runtime inside and ask the machine for nothing newer than
glibc 2.17 (manylinux2014).

The system's libsnappy is hidden by bind-mounting /dev/null over it in a
private mount namespace (``unshare -m``), which needs root; the host's mounts
are not touched. Everything the wheel's module reads must then come from the
wheel itself, and what it reads must equal what the source build reads.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from collections.abc import Sequence
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "tests" / "fixtures" / "sample_db"

# The oldest CPython the stable-ABI wheel is built for, and the newest one
# released; the one wheel must serve both.
PYTHONS = ["3.10", "3.13"]

# The platform tag may come with its older alias, manylinux2014, in either order.
WHEEL_NAME = re.compile(
    r"tarnwick-(?P<version>[^-]+)-cp310-abi3-"
    r"(?:manylinux2014_x86_64\.)?(?P<platform>manylinux_2_17_x86_64)(?:\.manylinux2014_x86_64)?\.whl"
)

# The oldest glibc the wheel claims, and the libraries a module may ask the
# machine for: glibc's own (before 2.34, libpthread, libdl and librt were
# libraries of their own). No libstdc++, libc++ or libgcc_s: the C++ runtime
# is inside.
GLIBC_FLOOR = (2, 17)
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
MODULES = ["_tarnwick", "tarnwick._scan"]

# Run a command in a private mount namespace with /dev/null mounted over each
# library named in $HIDE (colon-separated).
HIDING_SHELL = 'set -e; IFS=:; for lib in $HIDE; do mount --bind /dev/null "$lib"; done; unset IFS; exec "$@"'

# Reads the sample with _tarnwick and prints the records, the module's file
# and any Snappy library mapped into the process, as JSON.
READ_RECORDS = """
import json, sys
import _tarnwick
with _tarnwick.RawLevelDb(sys.argv[1]) as db:
    records = db.iterate_records_raw()
with open("/proc/self/maps") as maps:
    snappy = sorted({line.split()[-1] for line in maps if "libsnappy" in line})
print(json.dumps({
    "module": _tarnwick.__file__,
    "snappy": snappy,
    "records": [
        [r.key.hex(), r.user_key.hex(), r.value.hex(), r.seq, int(r.state), int(r.file_type),
         r.origin_file, r.offset, r.was_compressed]
        for r in records
    ],
}))
"""

# Imports every module that the installed distribution holds (but the command
# line's __main__, which would run) and prints "NAME imported", or "NAME needs
# PACKAGE" where the import stops at a package of one of the distribution's
# extras (pyarrow for the store exports), which a bare install leaves out.
IMPORT_EVERY_MODULE = """
import importlib, importlib.metadata, re
distribution = importlib.metadata.distribution("tarnwick")
optional = {re.match(r"[A-Za-z0-9._-]+", r).group().lower()
            for r in distribution.requires or [] if "extra ==" in r}
names = set()
for file in distribution.files:
    parts = file.parts
    if parts[0].endswith((".dist-info", "-stubs")) or not file.name.endswith((".py", ".so")):
        continue
    stem = file.name.split(".")[0]
    names.add(".".join(parts[:-1] if stem == "__init__" else (*parts[:-1], stem)))
names.discard("tarnwick.__main__")
for name in sorted(names):
    try:
        importlib.import_module(name)
        print(name, "imported")
    except ModuleNotFoundError as error:
        package = (error.name or "").split(".")[0]
        if package.lower() not in optional:
            raise
        print(name, "needs", package)
"""

pytestmark = [
    pytest.mark.skipif(
        sys.platform != "linux" or os.geteuid() != 0,
        reason="hiding the system's libsnappy needs a private mount namespace, which only root can make",
    ),
    pytest.mark.skipif(shutil.which("unshare") is None, reason="unshare (util-linux) is not installed"),
    pytest.mark.skipif(
        bool(os.environ.get("LD_PRELOAD")),
        reason="a preloaded runtime (the sanitized run) would be inherited by the wheel build and its interpreters",
    ),
]


def run(
    args: Sequence[str | Path],
    *,
    hide: Sequence[Path] = (),
    env: dict[str, str] | None = None,
    timeout: float = 600,
) -> subprocess.CompletedProcess[str]:
    """Runs ARGS from /, in a mount namespace where HIDE are /dev/null if any
    are given, with ENV added to an environment cleared of anything that could
    point the interpreter at the source tree or at other libraries."""
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "LD_LIBRARY_PATH")}
    clean |= env or {}
    command = [str(a) for a in args]
    if hide:
        clean["HIDE"] = ":".join(map(str, hide))
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c", HIDING_SHELL, "sh", *command]
    return subprocess.run(command, env=clean, cwd="/", capture_output=True, text=True, timeout=timeout)


def checked(
    args: Sequence[str | Path],
    *,
    hide: Sequence[Path] = (),
    env: dict[str, str] | None = None,
    timeout: float = 600,
) -> str:
    done = run(args, hide=hide, env=env, timeout=timeout)
    assert done.returncode == 0, f"{args} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def system_snappy() -> list[Path]:
    """Every file the dynamic loader would take libsnappy from."""
    cache = checked(["ldconfig", "-p"])
    found = {Path(m).resolve() for m in re.findall(r"^\s*libsnappy\.so\S*\s.*=> (\S+)$", cache, re.M)}
    assert found, "the source build links the system's libsnappy, yet ldconfig knows none"
    done = run(["true"], hide=sorted(found))
    if done.returncode != 0:
        pytest.skip(f"cannot make a private mount namespace here: {done.stderr.strip()}")
    return sorted(found)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The wheel and sdist of the current tree, built once by the release script."""
    out = tmp_path_factory.mktemp("dist")
    # A safety net only: on a fresh machine zig first builds libc++ for the
    # target, which takes a few minutes of its own.
    checked([ROOT / "scripts" / "dist.sh", out], env={"PY": sys.executable}, timeout=3600)
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1 and len(list(out.glob("tarnwick-*.tar.gz"))) == 1, sorted(out.iterdir())
    return wheels[0]


def interpreter(version: str) -> Path:
    """The newest installed patch release of CPython VERSION: pyenv's, else the one on PATH."""
    versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    found = sorted(
        versions.glob(f"{version}.*/bin/python{version}"),
        key=lambda p: [int(part) for part in p.parents[1].name.split(".") if part.isdigit()],
    )
    if found:
        return found[-1]
    on_path = shutil.which(f"python{version}")
    if on_path is None:
        pytest.fail(f"CPython {version} is not installed (looked in {versions} and on PATH); the wheel must be tried on it")
    return Path(on_path)


@pytest.fixture(scope="module", params=PYTHONS, ids=[f"cpython{v}" for v in PYTHONS])
def wheel_venv(request: pytest.FixtureRequest, wheel: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A fresh virtual environment with only the wheel installed, from the
    wheel's directory and nothing else (tarnwick needs no other package)."""
    venv = tmp_path_factory.mktemp(f"venv{request.param}")
    checked([interpreter(request.param), "-m", "venv", venv])
    checked([venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check",
             "--no-index", "--find-links", wheel.parent, "tarnwick"])
    return venv


def extension_modules(wheel: Path, into: Path) -> dict[str, Path]:
    """The wheel's extension modules (not the libraries bundled beside
    them), unpacked into INTO, by dotted module name."""
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(into)
    modules = {}
    for path in into.rglob("*.so"):
        if not path.parent.name.endswith(".libs"):
            package = path.parent.relative_to(into).parts
            modules[".".join((*package, path.name.split(".")[0]))] = path
    return modules


def test_the_wheel_is_tagged_manylinux_abi3_and_auditwheel_agrees(wheel: Path) -> None:
    name = WHEEL_NAME.fullmatch(wheel.name)
    assert name, f"{wheel.name} is not a CPython 3.10 stable-ABI manylinux wheel"
    verdict = " ".join(checked([sys.executable, "-m", "auditwheel", "show", wheel]).split())
    assert f'is consistent with the following platform tag: "{name["platform"]}"' in verdict, verdict
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        record = archive.read(next(n for n in names if n.endswith(".dist-info/RECORD"))).decode()
        contents = {n: archive.read(n) for n in names if not n.endswith("/")}
    # Nothing for auditwheel to copy in: Snappy is linked into the modules.
    assert not [n for n in names if ".libs/" in n], names
    assert any(n.endswith(".dist-info/licenses/snappy/COPYING") for n in names), "Snappy's licence is missing"

    # RECORD lists every file with its digest and size, itself without.
    listed = {}
    for row in record.splitlines():
        path, digest, size = row.rsplit(",", 2)
        listed[path] = (digest, size)
    assert listed.keys() == contents.keys()
    for path, data in contents.items():
        if not path.endswith(".dist-info/RECORD"):
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert listed[path] == (f"sha256={expected}", str(len(data))), path


def test_extension_modules_export_only_their_init_function(wheel: Path, tmp_path: Path) -> None:
    modules = extension_modules(wheel, tmp_path)
    # Every module, so that the per-module checks below miss none.
    assert sorted(modules) == sorted(MODULES)
    for module, path in modules.items():
        exported = checked(["nm", "-D", "--defined-only", "--format=just-symbols", path]).split()
        assert exported == [f"PyInit_{module.rpartition('.')[2]}"], f"{path.name} exports {exported}"


def glibc_version(symbol_version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in symbol_version.removeprefix("GLIBC_").split("."))


@pytest.mark.parametrize("module", MODULES)
def test_modules_need_nothing_but_glibc_2_17(wheel: Path, tmp_path: Path, module: str) -> None:
    """What the loader must find on the user's machine: only glibc's
    libraries, and of their symbols only versions up to 2.17."""
    path = extension_modules(wheel, tmp_path)[module]
    dynamic = checked(["readelf", "--dynamic", "--wide", path])
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    assert needed and needed <= SYSTEM_LIBRARIES, f"{path.name} needs {sorted(needed - SYSTEM_LIBRARIES)}"
    assert "RPATH" not in dynamic and "RUNPATH" not in dynamic, "nothing to look for beside the module"

    # The versions the module's undefined symbols ask for (readelf prints
    # "name@GLIBC_2.x (n)" for each), and no C++ runtime symbol among them.
    symbols = checked(["readelf", "--dyn-syms", "--wide", path])
    versions = {glibc_version(v) for v in re.findall(r"@(GLIBC_[\d.]+)", symbols)}
    assert versions, f"{path.name} asks for no versioned glibc symbol: the check would see nothing"
    assert max(versions) <= GLIBC_FLOOR, f"{path.name} needs glibc {'.'.join(map(str, max(versions)))}"
    assert not re.search(r"@(GLIBCXX|CXXABI|GCC)_", symbols), f"{path.name} asks for the system's C++ runtime"


def test_hiding_takes_snappy_away_from_the_source_build(system_snappy: list[Path]) -> None:
    """The check that the namespace really hides the library: the module
    built from source, which links the system's libsnappy, cannot load."""
    done = run([sys.executable, "-c", "import _tarnwick"], hide=system_snappy)
    assert done.returncode != 0 and "libsnappy" in done.stderr, done.stderr


def test_every_module_of_the_installed_wheel_imports(wheel_venv: Path) -> None:
    """Syntax, or a name of the standard library, that the interpreter lacks
    (3.10 is the oldest the wheel claims) fails at import, in whichever module
    it is; and a module that the wheel left out would be missing here."""
    python = wheel_venv / "bin" / "python"
    outcome = dict(line.split(" ", 1) for line in checked([python, "-c", IMPORT_EVERY_MODULE]).splitlines())
    package = ROOT / "python"
    expected = {
        ".".join(path.relative_to(package).with_suffix("").parts).removesuffix(".__init__")
        for path in (package / "tarnwick").rglob("*.py")
    } - {"tarnwick.__main__"}
    assert sorted(outcome) == sorted(expected | set(MODULES))
    # Only the store exports want an extra (pyarrow); everything else imports.
    assert {name for name, result in outcome.items() if result != "imported"} <= {
        name for name in outcome if name.startswith("tarnwick.stores")
    }, outcome


def test_the_installed_wheel_reads_the_sample_as_the_source_build_does(
    wheel: Path, wheel_venv: Path, system_snappy: list[Path], tmp_path: Path
) -> None:
    python = wheel_venv / "bin" / "python"
    tarnwick = wheel_venv / "bin" / "tarnwick"

    # Every extension module of the wheel loads.
    modules = sorted(extension_modules(wheel, tmp_path))
    checked([python, "-c", "import importlib, sys\nfor m in sys.argv[1:]: importlib.import_module(m)", *modules],
            hide=system_snappy)

    # The module alone: the same records, from the wheel's module, with no
    # Snappy library in the process (the wheel's copy is inside the module).
    ours = json.loads(checked([python, "-c", READ_RECORDS, SAMPLE], hide=system_snappy))
    source = json.loads(checked([sys.executable, "-c", READ_RECORDS, SAMPLE]))
    assert Path(ours["module"]).is_relative_to(wheel_venv)
    assert ours["snappy"] == []
    assert len(ours["records"]) > 0 and any(r[-1] for r in ours["records"]), "the sample has no compressed block"
    assert ours["records"] == source["records"]

    # The command line, output compared byte for byte with the source build's.
    commands: list[list[str | Path]] = [["summary", SAMPLE], ["dump", SAMPLE], ["dump", SAMPLE, "--format", "csv"]]
    for command in commands:
        expected = checked([sys.executable, "-m", "tarnwick", *command])
        assert checked([tarnwick, *command], hide=system_snappy) == expected, command

    name = WHEEL_NAME.fullmatch(wheel.name)
    assert name
    assert checked([tarnwick, "--version"], hide=system_snappy) == f"tarnwick {name['version']}\n"
