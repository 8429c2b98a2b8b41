"""Input handling: what becomes a float64 matrix, what is refused and how, memory failures."""

import os
import subprocess
import sys

import numpy as np
import pytest

import tavri
from tavri import _estimator, _tavri
from conftest import make_blobs


@pytest.fixture(scope="module")
def integers():
    """Integers from 85 to 115 in 3 columns: exact in every numeric type tried below."""
    return np.rint(make_blobs(200, 3, seed=2) / 4).astype(np.int64) + 100


@pytest.fixture(scope="module")
def expected(integers):
    return tavri.cluster(integers.astype(np.float64))


class TestConversion:
    @pytest.mark.parametrize(
        "convert",
        [
            lambda a: a.tolist(),
            lambda a: tuple(map(tuple, a.tolist())),
            lambda a: a.astype(np.float32),
            lambda a: a.astype(np.int32),
            lambda a: a,  # int64
            lambda a: a.astype(np.uint8),
            lambda a: np.asfortranarray(a.astype(np.float64)),
            lambda a: np.repeat(a.astype(np.float64), 2, axis=1)[:, ::2],  # strided
            lambda a: a.astype(object),
        ],
        ids=["list", "tuples", "float32", "int32", "int64", "uint8", "fortran", "strided", "object"],
    )
    def test_numbers_in_any_form_give_the_same_labels(self, integers, expected, convert):
        model = tavri.Tavri().fit(convert(integers))
        assert np.array_equal(model.labels_, expected)
        assert model.n_features_in_ == 3

    def test_a_dataframe_gives_the_same_labels(self, integers, expected):
        pandas = pytest.importorskip("pandas")
        frame = pandas.DataFrame(integers, columns=["a", "b", "c"])
        frame["b"] = frame["b"].astype(np.float32)  # mixed column types
        assert np.array_equal(tavri.cluster(frame), expected)

    def test_float64_c_order_is_not_copied_and_anything_else_once_into_c_order(self, integers):
        data = integers.astype(np.float64)
        assert _estimator._as_matrix(data) is data
        for other in (np.asfortranarray(data), integers, data[:, [2, 1, 0]][:, ::-1]):
            matrix = _estimator._as_matrix(other)
            assert matrix.dtype == np.float64 and matrix.flags.c_contiguous
            assert not np.shares_memory(matrix, other)
            assert np.array_equal(matrix, data)

    def test_a_read_only_memory_map_is_taken(self, integers, expected, tmp_path):
        path = tmp_path / "data.npy"
        np.save(path, integers.astype(np.float64))
        assert np.array_equal(tavri.cluster(np.load(path, mmap_mode="r")), expected)

    def test_more_rows_than_the_command_line_reads_are_taken(self):
        data = make_blobs(100_001, 1, seed=4)
        model = tavri.Tavri().fit(data)
        assert model.labels_.shape == (100_001,) and model.populations_.sum() == 100_001


class TestRefusals:
    @pytest.mark.parametrize(
        "data, message",
        [
            ([1.0, 2.0, 3.0], r"Expected 2D array .* got 1D array of shape \(3,\)\. Reshape your data"),
            (np.zeros((2, 2, 2)), r"got 3D array"),
            (5.0, r"got 0D array"),
            ([], r"got 1D array of shape \(0,\)"),
            (np.zeros((0, 3)), r"0 sample\(s\) \(shape=\(0, 3\)\)"),
            ([[], []], r"0 feature\(s\) \(shape=\(2, 0\)\)"),
            (np.array([[1.0, 2.0]] * 3 + [[3.0, np.nan]]), r"^row 3, column 1 holds NaN: every value must be finite \(not NaN or inf\)"),
            (np.array([[np.inf, 2.0], [1.0, 2.0]]), r"^row 0, column 0 holds inf"),
            (np.array([[1.0, 2.0], [1.0, -np.inf]]), r"^row 1, column 1 holds -inf"),
            (np.array([[1.0], [np.nan]], dtype=np.float32), r"^row 1, column 0 holds NaN"),
            (np.array([[0.0, 0.0], [0.0, np.nan], [-np.inf, 0.0]]), r"^row 1, column 1 holds NaN"),
            (np.array([[1.0 + 2.0j], [3.0]]), r"Complex data not supported"),
            ([[1.0, 2.0], [3.0]], r"sequence|inhomogeneous"),
            ([["1.5", "x"]], r"could not convert string to float"),
        ],
        ids=["1-D", "3-D", "scalar", "empty list", "no rows", "no columns", "nan", "inf", "-inf",
             "float32 nan", "first of two", "complex", "ragged", "text"],
    )
    def test_refused_with_a_clear_value_error(self, data, message):
        with pytest.raises(ValueError, match=message):
            tavri.Tavri().fit(data)
        with pytest.raises(ValueError, match=message):
            tavri.cluster(data)

    def test_the_engine_refusals_arrive_as_value_errors(self):
        with pytest.raises(ValueError, match="^row 0, column 1 holds nan"):
            _tavri.cluster(np.array([[1.0, np.nan]]), 0.04, False, True)
        with pytest.raises(ValueError, match="4001 rows are more than the 4000 clustered directly"):
            _tavri.cluster(np.zeros((4001, 1)), 0.04, False, False)

    def test_nan_in_a_dataframe_names_its_row_and_column(self):
        pandas = pytest.importorskip("pandas")
        frame = pandas.DataFrame({"a": [1.0, 2.0, 3.0], "b": [1.0, 2.0, None]})
        with pytest.raises(ValueError, match=r"^row 2, column 1 holds NaN"):
            tavri.cluster(frame)

    def test_a_sparse_matrix_is_refused_by_name(self):
        sparse = pytest.importorskip("scipy.sparse")
        with pytest.raises(TypeError, match="sparse matrix.*toarray"):
            tavri.cluster(sparse.csr_matrix(np.eye(3)))


# Runs out of address space inside the engine: 4000 rows need a 128 MB
# distance matrix, and the process may grow by only 64 MB.
MEMORY_SCRIPT = r"""
import resource
import numpy as np
import tavri

data = np.random.default_rng(1).normal(size=(4000, 2))
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
try:
    tavri.cluster(data)
except MemoryError as e:
    print("MemoryError:", e)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_running_out_of_memory_in_the_engine_raises_memory_error():
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                            env=os.environ.copy())
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "MemoryError: std::bad_alloc"


def test_data_too_large_to_convert_raise_memory_error():
    # A broadcast view of 2**44 values holds one; its float64 copy cannot be had.
    huge = np.broadcast_to(np.float32(1.0), (1 << 40, 16))
    with pytest.raises(MemoryError):
        tavri.cluster(huge)
