"""The estimator: its attributes, parameters, predict, threads and the fallback without scikit-learn."""

import doctest
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tavri
from tavri import _estimator, _tavri
from conftest import make_blobs


def test_cluster_labels_the_six_point_example():
    labels = tavri.cluster([[0], [1], [2], [10], [11], [12]])
    assert labels.tolist() == [0, 0, 0, 1, 1, 1]
    assert labels.dtype.kind == "i"


def test_docstring_examples_hold():
    for module in (tavri, _estimator):
        failed, attempted = doctest.testmod(module, raise_on_error=False, report=True)
        assert attempted > 0 and failed == 0, module.__name__


class TestFit:
    def test_fit_returns_self_and_fit_predict_the_same_labels(self, blobs):
        model = tavri.Tavri()
        assert model.fit(blobs) is model
        assert np.array_equal(tavri.Tavri().fit_predict(blobs), model.labels_)
        assert np.array_equal(tavri.cluster(blobs), model.labels_)

    def test_attributes_describe_the_run(self, blobs):
        model = tavri.Tavri().fit(blobs)
        labels = model.labels_
        assert labels.shape == (len(blobs),) and labels.dtype.kind == "i"
        found = np.unique(labels)
        # Clusters run 0 .. n_clusters_ - 1, every one used; noise is -1.
        assert found[found >= 0].tolist() == list(range(model.n_clusters_))
        assert model.has_noise_ == (-1 in found)
        assert model.has_noise_ and model.n_clusters_ >= 2, "the blobs have noise and several clusters"
        assert isinstance(model.n_clusters_, int) and isinstance(model.has_noise_, bool)
        # All rows distinct, no sampling: every row is clustered once, in order.
        assert model.prototype_indices_.tolist() == list(range(len(blobs)))
        assert model.populations_.tolist() == [1] * len(blobs)
        assert model.densities_.shape == (0,)
        assert model.n_features_in_ == 2
        assert np.allclose(model.mean_, blobs.mean(axis=0), rtol=0, atol=1e-12)
        assert np.allclose(model.scale_, blobs.std(axis=0), rtol=1e-14, atol=0)

    def test_copies_are_clustered_once_and_share_their_label(self):
        data = np.array([[5.0, 1.0], [0.0, 1.0], [5.0, 1.0], [9.0, 1.0], [0.0, 1.0], [5.0, 1.0]])
        model = tavri.Tavri().fit(data)
        assert model.prototype_indices_.tolist() == [0, 1, 3]  # first occurrences
        assert model.populations_.tolist() == [3, 2, 1]
        assert model.labels_[0] == model.labels_[2] == model.labels_[5]
        assert model.labels_[1] == model.labels_[4]
        # A constant column stands for its value with scale 1.
        assert model.mean_[1] == 1.0 and model.scale_[1] == 1.0

    def test_more_than_4000_rows_are_sampled_unless_sampling_is_off(self):
        data = make_blobs(6000, 3, seed=3)
        model = tavri.Tavri().fit(data)
        prototypes = model.prototype_indices_
        assert 0 < len(prototypes) <= 4000 and len(np.unique(prototypes)) == len(prototypes)
        assert model.populations_.shape == prototypes.shape and model.populations_.sum() == 6000
        assert model.densities_.shape == prototypes.shape and (model.densities_ >= 0).all()
        assert model.labels_.shape == (6000,)
        with pytest.raises(ValueError, match="4000 .*sampling"):
            tavri.Tavri(sampling=False).fit(data)
        assert tavri.Tavri(sampling=False).fit(data[:4000]).prototype_indices_.shape == (4000,)

    def test_options_reach_the_engine(self, blobs):
        default = tavri.Tavri().fit(blobs)
        attached = tavri.Tavri(attach_noise=True).fit(blobs)
        assert (attached.labels_ == -1).sum() < (default.labels_ == -1).sum()
        strict = tavri.Tavri(u=1.0).fit(blobs)
        assert strict.n_clusters_ != default.n_clusters_

    def test_fit_leaves_its_input_alone_and_takes_read_only_input(self, blobs):
        data = blobs.copy()
        data.setflags(write=False)
        labels = tavri.Tavri().fit(data).labels_
        assert np.array_equal(data, blobs)
        assert np.array_equal(labels, tavri.cluster(blobs))

    @pytest.mark.parametrize(
        "params, word",
        [
            ({"u": "0.1"}, "u must be"),
            ({"u": float("nan")}, "u must be"),
            ({"u": float("inf")}, "u must be"),
            ({"u": None}, "u must be"),
            ({"attach_noise": "yes"}, "attach_noise must be"),
            ({"attach_noise": 1}, "attach_noise must be"),
            ({"sampling": None}, "sampling must be"),
        ],
    )
    def test_bad_parameters_are_refused_at_fit(self, blobs, params, word):
        model = tavri.Tavri(**params)  # construction keeps any value, as scikit-learn asks
        with pytest.raises(ValueError, match=word):
            model.fit(blobs)
        assert not hasattr(model, "labels_")

    def test_integer_and_numpy_parameters_are_taken(self, blobs):
        expected = tavri.Tavri(u=1.0, attach_noise=True).fit(blobs).labels_
        model = tavri.Tavri(u=np.float32(1.0), attach_noise=np.bool_(True), sampling=np.bool_(True))
        assert np.array_equal(model.fit(blobs).labels_, expected)
        assert np.array_equal(tavri.Tavri(u=1, attach_noise=True).fit(blobs).labels_, expected)


class TestParams:
    def test_get_params_gives_the_constructor_arguments(self):
        assert tavri.Tavri().get_params() == {"u": 0.04, "attach_noise": False, "sampling": True}
        assert tavri.Tavri(0.3, True, False).get_params() == {"u": 0.3, "attach_noise": True, "sampling": False}

    def test_set_params_changes_them_and_the_next_fit(self, blobs):
        model = tavri.Tavri()
        assert model.set_params(u=1.0, attach_noise=True) is model
        assert model.get_params() == {"u": 1.0, "attach_noise": True, "sampling": True}
        assert np.array_equal(model.fit(blobs).labels_, tavri.Tavri(u=1.0, attach_noise=True).fit(blobs).labels_)
        with pytest.raises(ValueError, match="Invalid parameter"):
            model.set_params(n_clusters=3)
        assert repr(tavri.Tavri(u=0.2)) == "Tavri(u=0.2)"


FALLBACK_SCRIPT = r"""
import sys
sys.modules["sklearn"] = None  # import sklearn now fails as if it were not installed
import numpy as np
import tavri
from tavri import _estimator

assert "sklearn" not in {c.__module__.split(".")[0] for c in tavri.Tavri.__mro__}
model = tavri.Tavri()
assert model.get_params() == {"attach_noise": False, "sampling": True, "u": 0.04}
assert model.set_params(u=0.5) is model and model.u == 0.5
try:
    model.set_params(nope=1)
except ValueError as e:
    assert "Invalid parameter 'nope'" in str(e)
else:
    raise AssertionError("an unknown parameter was taken")
try:
    model.predict([[0.0]])
except _estimator.NotFittedError as e:
    assert isinstance(e, ValueError) and isinstance(e, AttributeError)
else:
    raise AssertionError("predict ran before fit")
assert repr(model) == "Tavri(attach_noise=False, sampling=True, u=0.5)"
assert model._estimator_type == "clusterer"
labels = model.fit_predict([[0], [1], [2], [10], [11], [12]])
assert labels.tolist() == [0, 0, 0, 1, 1, 1] and model.labels_ is labels
assert model.predict([[1.5], [10.5]]).tolist() == [0, 1]
print("fallback ok")
"""


def test_the_estimator_works_without_scikit_learn():
    result = subprocess.run(
        [sys.executable, "-c", FALLBACK_SCRIPT], capture_output=True, text=True, env=os.environ.copy()
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "fallback ok"


@pytest.mark.skipif(_estimator.BaseEstimator.__module__ != "sklearn.base", reason="scikit-learn is not installed")
def test_scikit_learn_clones_and_pipelines_it(blobs):
    from sklearn.base import clone
    from sklearn.pipeline import make_pipeline

    model = tavri.Tavri(u=0.3, attach_noise=True)
    copy = clone(model)
    assert copy is not model and copy.get_params() == model.get_params()
    piped = make_pipeline(tavri.Tavri(u=0.3, attach_noise=True)).fit(blobs)
    assert np.array_equal(piped.predict(blobs), model.fit(blobs).predict(blobs))


class TestPredict:
    def test_training_rows_get_their_labels_when_there_is_no_noise(self, separated):
        model = tavri.Tavri().fit(separated)
        assert not model.has_noise_ and model.n_clusters_ == 3
        assert np.array_equal(model.predict(separated), model.labels_)

    @pytest.mark.parametrize("rows", [300, 6000], ids=["distinct rows", "sampled"])
    def test_training_rows_get_their_labels_with_noise_too(self, rows):
        data = make_blobs(rows, 3, seed=3)
        model = tavri.Tavri().fit(data)
        assert model.has_noise_
        assert np.array_equal(model.predict(data), model.labels_)

    def test_new_rows_take_the_label_of_the_nearest_clustered_point(self, separated):
        model = tavri.Tavri().fit(separated)
        near = np.array([[3.4, 3.6], [52.0, 7.5], [-1.0, 58.0], [49.0, -2.0]])
        assert model.predict(near).tolist() == model.labels_[[0, 64, 128, 64]].tolist()

    def test_ties_go_to_the_point_clustered_first(self):
        # 6 lies exactly halfway between 2 and 10: the earlier clustered point wins.
        data = np.array([[0.0], [1.0], [2.0], [10.0], [11.0], [12.0]])
        for order in (data, data[::-1]):
            model = tavri.Tavri().fit(order)
            assert model.labels_[0] != model.labels_[-1]
            assert model.predict([[6.0]])[0] == model.labels_[0]

    def test_blocks_of_rows_give_the_same_labels(self, blobs, monkeypatch):
        model = tavri.Tavri().fit(blobs)
        queries = make_blobs(1000, 2, seed=12)
        whole = model.predict(queries)
        monkeypatch.setattr(_estimator, "_PREDICT_BLOCK", 7 * len(model.prototype_indices_))  # 7 rows a block
        assert np.array_equal(model.predict(queries), whole)
        assert np.array_equal(model.predict(queries[:1]), whole[:1])

    def test_bad_new_rows_are_refused(self, blobs):
        model = tavri.Tavri().fit(blobs)
        with pytest.raises(ValueError, match="X has 3 features, but Tavri is expecting 2 features"):
            model.predict(np.zeros((4, 3)))
        with pytest.raises(ValueError, match="row 1, column 0 holds NaN"):
            model.predict([[0.0, 1.0], [np.nan, 2.0]])
        with pytest.raises(ValueError, match="row 0, column 1 holds -inf"):
            model.predict([[0.0, -np.inf]])
        with pytest.raises(ValueError, match="2D"):
            model.predict([0.0, 1.0])

    def test_predict_before_fit_is_refused(self):
        with pytest.raises(_estimator.NotFittedError, match="not fitted"):
            tavri.Tavri().predict([[0.0]])

    def test_only_the_clustered_points_are_kept(self):
        model = tavri.Tavri().fit(make_blobs(6000, 3, seed=3))
        kept = [v for v in vars(model).values() if isinstance(v, np.ndarray) and v.ndim == 2]
        assert len(kept) == 1 and kept[0].shape == (len(model.prototype_indices_), 3)


def test_the_engine_runs_without_the_gil():
    data = make_blobs(3000, 2, seed=21)
    expected = _tavri.cluster(data, 0.04, False, True)["labels"]
    seen = {}
    state = {"entered": False, "done": False}

    def worker(slot):
        state["entered"] = True
        seen[slot] = _tavri.cluster(data, 0.04, False, True)["labels"]
        state["done"] = True

    # With a switch interval this long, the worker keeps the GIL until it gives
    # it up itself: this thread runs again while the worker is inside the
    # engine only if the engine released the GIL.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        first = threading.Thread(target=worker, args=(0,))
        first.start()
        observed = (state["entered"], state["done"])
        second = threading.Thread(target=worker, args=(1,))
        second.start()
        first.join()
        second.join()
    finally:
        sys.setswitchinterval(interval)
    assert observed == (True, False), "the calling thread could not run while the engine worked"
    assert np.array_equal(seen[0], expected) and np.array_equal(seen[1], expected)
