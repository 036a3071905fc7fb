import numpy as np
import pytest

import vorsk


def pytest_report_header(config):
    return f"vorsk {vorsk.__version__}, numpy {np.__version__}"


@pytest.fixture
def smooth_data():
    """x of shape (n, 1) with distinct values, y = sin(2πx) + noise."""
    rng = np.random.default_rng(20261211)
    n = 200
    x = np.sort(rng.uniform(0.0, 1.0, n)).reshape(n, 1)
    y = np.sin(2 * np.pi * x[:, 0]) + rng.normal(0.0, 0.3, n)
    return x, y


@pytest.fixture
def count_data(smooth_data):
    x, _ = smooth_data
    rng = np.random.default_rng(7)
    y = rng.poisson(np.exp(1.0 + np.sin(2 * np.pi * x[:, 0]))).astype(np.float64)
    return x, y
