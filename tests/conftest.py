import os
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tests.sandbox import running_under_asan

REPO = Path(__file__).resolve().parents[1]


def pytest_report_header(config):
    import korva_core

    return [f"korva_core: {korva_core.__file__}", f"numpy: {np.__version__}"]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


class ChildPython:
    """Starts child interpreters that import korva and the tests package from this tree, as the
    test run does, whatever their working directory."""

    @staticmethod
    def command(*args):
        return [sys.executable, *args]

    @staticmethod
    def environment(**variables):
        """Our environment with this tree first on the module path and `variables` set."""
        path = os.pathsep.join(filter(None, [str(REPO), os.environ.get("PYTHONPATH")]))
        return {**os.environ, "PYTHONPATH": path, **variables}

    def run(self, *args, env=None, address_space=None, **options):
        """``python ARGS`` to its end, its output captured as text unless `options` say otherwise.

        env: the child's whole environment (default: `environment()`);
        address_space: a cap on the child's address space in bytes, so that a crash or a
            runaway allocation stays contained; not under ASan, whose runtime reserves more.
        """
        if address_space is not None and not running_under_asan():
            options["preexec_fn"] = lambda: resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
        options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **options}
        return subprocess.run(self.command(*args), env=self.environment() if env is None else env, **options)

    def popen(self, *args, env=None, **options):
        """``python ARGS`` left running, for a test that talks to it or signals it."""
        return subprocess.Popen(self.command(*args), env=self.environment() if env is None else env, **options)


@pytest.fixture
def child_python():
    return ChildPython()
