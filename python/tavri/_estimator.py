"""The Tavri estimator and the cluster function, in scikit-learn's style."""

import inspect
import math
import numbers
import sys

import numpy as np

from . import _tavri

try:
    from sklearn.base import BaseEstimator, ClusterMixin
    from sklearn.exceptions import NotFittedError
except ImportError:  # scikit-learn is optional: the same methods without it

    class NotFittedError(ValueError, AttributeError):
        """Raised when an estimator is used before it was fitted."""

    class BaseEstimator:
        """Parameters read and set by name, as scikit-learn's BaseEstimator does."""

        @classmethod
        def _get_param_names(cls):
            signature = inspect.signature(cls.__init__)
            return sorted(p.name for p in signature.parameters.values() if p.name != "self")

        def get_params(self, deep=True):
            """Returns the estimator's parameters as a dict of name -> value."""
            return {name: getattr(self, name) for name in self._get_param_names()}

        def set_params(self, **params):
            """Sets parameters by name and returns the estimator."""
            valid = self._get_param_names()
            for name, value in params.items():
                if name not in valid:
                    raise ValueError(
                        f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                        f"Valid parameters are: {valid}."
                    )
                setattr(self, name, value)
            return self

        def __repr__(self):
            params = ", ".join(f"{k}={v!r}" for k, v in self.get_params().items())
            return f"{type(self).__name__}({params})"

    class ClusterMixin:
        """Gives an estimator with labels_ a fit_predict method."""

        _estimator_type = "clusterer"

        def fit_predict(self, X, y=None):
            """Fits the estimator on X and returns labels_."""
            self.fit(X)
            return self.labels_


# Rows of new data compared with every clustered point at once in predict:
# bounds its work arrays to about this many distances.
_PREDICT_BLOCK = 1 << 22


def _as_matrix(X):
    """X as one C-contiguous float64 2-D array of finite numbers, copied only if it must be.

    Accepts anything numpy.asarray takes (lists, integer or float32 arrays,
    pandas DataFrames, read-only memory maps). Raises ValueError for other
    shapes, empty data and values that are not finite, naming the first.
    """
    sparse = sys.modules.get("scipy.sparse")  # a sparse matrix implies scipy.sparse is loaded
    if sparse is not None and sparse.issparse(X):
        raise TypeError("Tavri needs dense data, not a sparse matrix: convert it with X.toarray()")
    dtype = getattr(X, "dtype", None)
    dtypes = getattr(X, "dtypes", None)  # a DataFrame's per-column types
    kinds = [dtype.kind] if isinstance(dtype, np.dtype) else []
    if dtypes is not None and hasattr(dtypes, "__iter__"):
        kinds += [getattr(t, "kind", "") for t in dtypes]
    if "c" in kinds:
        raise ValueError("Complex data not supported: Tavri clusters real numbers")
    matrix = np.asarray(X, dtype=np.float64, order="C")
    if matrix.ndim != 2:
        raise ValueError(
            f"Expected 2D array (rows x columns), got {matrix.ndim}D array of shape {matrix.shape}. "
            "Reshape your data either using X.reshape(-1, 1) if it holds one column "
            "or X.reshape(1, -1) if it holds one row."
        )
    rows, cols = matrix.shape
    if rows == 0:
        raise ValueError(f"Found array with 0 sample(s) (shape={matrix.shape}) while a minimum of 1 is required.")
    if cols == 0:
        raise ValueError(f"Found array with 0 feature(s) (shape={matrix.shape}) while a minimum of 1 is required.")
    # min and max are NaN when a NaN is there and infinite when an infinity
    # is: two passes without a temporary array. Only a failure looks further.
    if not (math.isfinite(matrix.min()) and math.isfinite(matrix.max())):
        row, col = np.argwhere(~np.isfinite(matrix))[0]
        value = matrix[row, col]
        word = "NaN" if np.isnan(value) else ("inf" if value > 0 else "-inf")
        raise ValueError(f"row {row}, column {col} holds {word}: every value must be finite (not NaN or inf)")
    return matrix


def _check_options(u, attach_noise, sampling):
    """The parameters as the engine takes them, or ValueError."""
    if isinstance(u, (bool, np.bool_)) or not isinstance(u, numbers.Real) or not math.isfinite(u):
        raise ValueError(f"u must be a finite real number, got {u!r}")
    flags = {"attach_noise": attach_noise, "sampling": sampling}
    for name, value in flags.items():
        if not isinstance(value, (bool, np.bool_)):
            raise ValueError(f"{name} must be True or False, got {value!r}")
    return float(u), bool(attach_noise), bool(sampling)


def _run(X, u, attach_noise, sampling):
    u, attach_noise, sampling = _check_options(u, attach_noise, sampling)
    return _tavri.cluster(_as_matrix(X), u, attach_noise, sampling)


def cluster(X, u=0.04, attach_noise=False, sampling=True):
    """Clusters the rows of X and returns one label per row (-1 for noise).

    Parameters are those of :class:`Tavri`. X is anything numpy.asarray
    turns into a 2-D array of numbers, one point per row.

    >>> cluster([[0], [1], [2], [10], [11], [12]])
    array([0, 0, 0, 1, 1, 1], dtype=int32)
    """
    return _run(X, u, attach_noise, sampling)["labels"]


class Tavri(ClusterMixin, BaseEstimator):
    """Clusters points without being told how many clusters there are.

    Parameters
    ----------
    u : float, default 0.04
        Balance threshold of the density merging: larger values refuse more
        merges of groups that touch unevenly.
    attach_noise : bool, default False
        Join every group too small to be a cluster to the nearest large group
        instead of reporting it as noise.
    sampling : bool, default True
        Reduce more than 4000 rows to at most 4000 prototype rows before
        clustering. With False, such data are refused (ValueError).

    Attributes (after fit)
    ----------------------
    labels_ : ndarray of int, shape (n_rows,)
        The label of every row: 0 .. n_clusters_ - 1, or -1 for noise.
    n_clusters_ : int
        Clusters found, the noise list not counted.
    has_noise_ : bool
        Whether the run reported a noise list.
    prototype_indices_ : ndarray of int
        The rows that were clustered: the prototypes after sampling, or the
        first occurrence of every distinct row otherwise.
    populations_ : ndarray of int
        How many rows each clustered row stands for.
    densities_ : ndarray of float
        Density of each prototype (population / radius, 0 for a radius of 0);
        empty when no sampling ran.
    mean_, scale_ : ndarray of float, shape (n_features_in_,)
        The standardisation: standardised = (x - mean_) / scale_.
    n_features_in_ : int
        Columns of the data seen by fit.
    """

    def __init__(self, u=0.04, attach_noise=False, sampling=True):
        self.u = u
        self.attach_noise = attach_noise
        self.sampling = sampling

    def fit(self, X, y=None):
        """Clusters the rows of X and returns the estimator.

        X is anything numpy.asarray turns into a 2-D array of finite numbers
        (rows x columns); y is ignored. Raises ValueError for other shapes,
        empty data, complex numbers and values that are not finite (naming
        the first one's row and column), TypeError for a sparse matrix and
        MemoryError when memory runs out. The engine runs without the GIL.
        """
        run = _run(X, self.u, self.attach_noise, self.sampling)
        self.labels_ = run["labels"]
        self.n_clusters_ = int(run["n_clusters"])
        self.has_noise_ = bool(run["has_noise"])
        self.prototype_indices_ = run["clustered_rows"]
        self.populations_ = run["populations"]
        self.densities_ = run["densities"]
        self.mean_ = run["mean"]
        self.scale_ = run["scale"]
        self.n_features_in_ = self.mean_.shape[0]
        # What predict needs: the clustered points, standardised, and their labels.
        self._points = run["points"]
        self._point_labels = run["point_labels"]
        return self

    def fit_predict(self, X, y=None):
        """Fits the estimator on X and returns labels_ (y is ignored)."""
        return self.fit(X).labels_

    def predict(self, X):
        """Labels new rows by the nearest clustered point: an approximation.

        Each row of X is standardised with the fitted mean_ and scale_ and
        takes the label of the clustered point (a prototype, or a distinct
        row of the training data) nearest to it in Euclidean distance; of
        equally near points the one clustered first wins. The new rows do not
        change the clusters, and a row nearest to a noise point gets -1, so
        this is not what fitting the data with the new rows would give.
        """
        if not hasattr(self, "_points"):
            raise NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet: call fit before predict"
            )
        matrix = _as_matrix(X)
        if matrix.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {matrix.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input"
            )
        points = self._points
        labels = np.empty(matrix.shape[0], dtype=self._point_labels.dtype)
        block = max(1, _PREDICT_BLOCK // max(1, points.shape[0]))
        for start in range(0, matrix.shape[0], block):
            rows = (matrix[start : start + block] - self.mean_) / self.scale_
            # Squared distances summed column by column, in the engine's order.
            distances = np.zeros((rows.shape[0], points.shape[0]))
            for j in range(points.shape[1]):
                difference = np.subtract.outer(rows[:, j], points[:, j])
                np.multiply(difference, difference, out=difference)
                distances += difference
            labels[start : start + block] = self._point_labels[np.argmin(distances, axis=1)]
        return labels
