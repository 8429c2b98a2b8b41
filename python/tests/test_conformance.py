"""scikit-learn's own estimator checks (check_estimator, one pytest case per check) on Tavri().

Every check of the installed scikit-learn runs: none had to be skipped.
"""

import pytest

estimator_checks = pytest.importorskip("sklearn.utils.estimator_checks", reason="scikit-learn is not installed")

import tavri  # noqa: E402


@estimator_checks.parametrize_with_checks([tavri.Tavri()])
def test_scikit_learn_check(estimator, check):
    check(estimator)
