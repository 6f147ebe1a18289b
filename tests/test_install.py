"""Installing korva: the wheel in a bare environment, and the CPU check before the extension loads."""

import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest

from korva._cpu import missing_cpu_features, require_cpu_features

REPO = Path(__file__).resolve().parents[1]
COMPILERS = ("gcc", "g++", "cc", "c++", "clang", "clang++")

FIT_IN_FRESH_VENV = """
import sys
import tomllib
from pathlib import Path

import numpy as np

import korva

prefix = Path(sys.prefix).resolve()
assert Path(korva.__file__).resolve().is_relative_to(prefix), korva.__file__
assert Path(korva.korva_core.__file__).resolve().is_relative_to(prefix), korva.korva_core.__file__
# The OpenMP runtime must be the one the wheel carries, not the build machine's.
runtimes = {line.split()[-1] for line in open("/proc/self/maps") if "libgomp" in line}
assert runtimes and all(Path(path).is_relative_to(prefix) for path in runtimes), runtimes

rng = np.random.default_rng(5)
x = np.linspace(-1.0, 1.0, 300)
y = 1.0 - 2.0 * x + 0.5 * x**3 + rng.normal(0.0, 0.01, x.size)
y[::10] += 5.0
model = korva.PolynomialMDLRegressor(degree=3).fit(x, y)
np.testing.assert_allclose(model.coef_, [1.0, -2.0, 0.0, 0.5], atol=0.02)
assert (~model.inlier_mask_).sum() == 30, (~model.inlier_mask_).sum()
print(korva.__version__)
"""


def bare_environment(venv):
    """The environment of a machine with no compiler and no pip configuration of ours."""
    environment = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith(("PIP_", "PYTHON", "VIRTUAL_ENV", "CONDA"))
    }
    environment.update(PATH=str(venv / "bin"), CC="false", CXX="false", PIP_CONFIG_FILE=os.devnull)
    return environment


@pytest.mark.slow
def test_wheel_installs_and_fits_without_compiler_or_eigen(tmp_path):
    version = importlib.metadata.version("korva")
    wheels = sorted((REPO / "dist").glob("korva-*.whl"))
    assert len(wheels) == 1, f"expected one wheel in dist/, found {wheels}; build it with `make wheel`"
    assert re.fullmatch(rf"korva-{re.escape(version)}-cp312-cp312-manylinux_2_\d+_x86_64\.whl", wheels[0].name), wheels[
        0
    ].name

    found = tmp_path / "found"
    download = subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "download",
            "-q",
            "--only-binary=:all:",
            "--no-deps",
            "--dest",
            str(found),
            f"numpy=={np.__version__}",
        ],
        capture_output=True,
        text=True,
    )
    assert download.returncode == 0, download.stderr
    shutil.copy(wheels[0], found)

    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True)
    environment = bare_environment(venv)
    assert not [name for name in COMPILERS if shutil.which(name, path=environment["PATH"])]
    install = subprocess.run(
        [
            str(venv / "bin" / "python"),
            "-m",
            "pip",
            "install",
            "-q",
            "--no-index",
            "--only-binary=:all:",
            "--find-links",
            str(found),
            "korva",
        ],
        env=environment,
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert install.returncode == 0, install.stdout + install.stderr

    fit = subprocess.run(
        [str(venv / "bin" / "python"), "-c", FIT_IN_FRESH_VENV],
        env=environment,
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert fit.returncode == 0, fit.stderr
    project = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
    assert fit.stdout.strip() == project["version"]


CPUINFO_X86 = "processor\t: {n}\nmodel name\t: Some CPU\nflags\t\t: {flags}\nbugs\t\t: spectre_v1\n\n"
FLAGS_HASWELL = "fpu sse2 ssse3 fma cx16 sse4_1 sse4_2 avx f16c avx2 bmi2"
FLAGS_SANDY_BRIDGE = "fpu sse2 ssse3 cx16 sse4_1 sse4_2 avx"


@pytest.mark.parametrize(
    ("cpuinfo", "missing"),
    [
        (CPUINFO_X86.format(n=0, flags=FLAGS_HASWELL), []),
        (CPUINFO_X86.format(n=0, flags=FLAGS_SANDY_BRIDGE), ["avx2", "fma"]),
        (CPUINFO_X86.format(n=0, flags=FLAGS_HASWELL.replace(" fma", "")), ["fma"]),
        # names that merely contain "avx2" do not count
        (CPUINFO_X86.format(n=0, flags=FLAGS_SANDY_BRIDGE + " fma avx512f avx2x"), ["avx2"]),
        ("".join(CPUINFO_X86.format(n=n, flags=FLAGS_HASWELL) for n in range(4)), []),
        # another architecture lists "Features": nothing can be told
        ("processor\t: 0\nFeatures\t: fp asimd evtstrm aes\n", []),
        ("", []),
    ],
    ids=["haswell", "sandy-bridge", "no-fma", "lookalike-flags", "four-processors", "arm", "empty"],
)
def test_missing_cpu_features_read_from_the_flags_line(tmp_path, cpuinfo, missing):
    path = tmp_path / "cpuinfo"
    path.write_text(cpuinfo)
    assert missing_cpu_features(path) == missing
    if missing:
        with pytest.raises(ImportError, match=" and ".join(feature.upper() for feature in missing)):
            require_cpu_features(path)
    else:
        require_cpu_features(path)


def test_unreadable_cpuinfo_reports_nothing_missing(tmp_path):
    assert missing_cpu_features(tmp_path / "absent") == []
    assert missing_cpu_features(tmp_path) == []  # a directory


def can_bind_mount():
    if shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


@pytest.mark.skipif(not can_bind_mount(), reason="needs unshare --mount (root)")
def test_import_on_cpu_without_avx2_raises_before_loading_the_extension(tmp_path):
    # A private mount namespace shows this process's Python a CPU of 2011 in /proc/cpuinfo.
    fake = tmp_path / "cpuinfo"
    fake.write_text(CPUINFO_X86.format(n=0, flags=FLAGS_SANDY_BRIDGE))
    script = (
        "import sys\n"
        "try:\n"
        "    import korva\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
        "    sys.exit(3 if 'korva_core' in sys.modules else 0)\n"
        "sys.exit(4)\n"
    )
    result = subprocess.run(
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            'mount --bind "$1" /proc/cpuinfo && exec "$2" -c "$3"',
            "sh",
            str(fake),
            sys.executable,
            script,
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, (result.returncode, result.stdout, result.stderr)
    assert "AVX2 and FMA" in result.stdout
