"""Shared data for the tests of the tavri package."""

import numpy as np
import pytest


def make_blobs(rows, cols, seed, centres=4, noise=0.05):
    """Seeded Gaussian blobs, well apart, with a share of uniform noise rows."""
    rng = np.random.default_rng(seed)
    middles = rng.uniform(-50, 50, size=(centres, cols))
    data = middles[rng.integers(0, centres, size=rows)] + rng.normal(scale=2.0, size=(rows, cols))
    scattered = rng.random(rows) < noise
    data[scattered] = rng.uniform(-60, 60, size=(int(scattered.sum()), cols))
    return data


@pytest.fixture(scope="session")
def blobs():
    """300 rows of 2 columns: four blobs and some noise."""
    return make_blobs(300, 2, seed=11)


@pytest.fixture(scope="session")
def separated():
    """Three 8 x 8 grids far apart: three clusters and no noise."""
    grid = np.stack(np.meshgrid(np.arange(8.0), np.arange(8.0)), axis=-1).reshape(-1, 2)
    return np.concatenate([grid + corner for corner in ([0.0, 0.0], [50.0, 0.0], [0.0, 50.0])])
