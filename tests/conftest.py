import numpy as np
import pytest


def pytest_report_header(config):
    import korva_core

    return [f"korva_core: {korva_core.__file__}", f"numpy: {np.__version__}"]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
