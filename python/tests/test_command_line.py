"""The package gives the labels of the tavri command on the same numbers, byte for byte.

TAVRI_EXE names the executable; TAVRI_GOLDEN_DATA the folder where the C++
golden test leaves each case's data (NAME.txt) and options (NAME.args). CTest
sets both; without them these tests skip.
"""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import tavri
from conftest import make_blobs

EXE = os.environ.get("TAVRI_EXE")
GOLDEN = pathlib.Path(os.environ.get("TAVRI_GOLDEN_DATA", "/nonexistent"))
GOLDEN_CASES = sorted(p.stem for p in GOLDEN.glob("*.args"))

needs_exe = pytest.mark.skipif(not EXE or not os.path.isfile(EXE), reason="TAVRI_EXE names no executable")


def options_of(words):
    """The estimator's parameters for the command-line options `words`."""
    params = {}
    for option, value in zip(words[::2], words[1::2]):
        if option == "-u":
            params["u"] = float(value)
        elif option == "-f":
            params["attach_noise"] = int(value) != 0
        elif option == "-s":
            params["sampling"] = int(value) == 1
        else:
            raise AssertionError(f"no parameter stands for {option}")
    assert len(words) % 2 == 0, words
    return params


def run_command(folder, data_file, words):
    """Runs the executable beside a copy of data_file; returns its labels as text and its summary."""
    shutil.copy(data_file, folder / "data.txt")
    run = subprocess.run([EXE, "data.txt", *words], cwd=folder, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    summary = dict(item.split("=") for item in (folder / "RTavri-data.txt").read_text().split())
    labels = [int(line) for line in (folder / "LTavri-data.txt").read_text().splitlines()]
    if summary["noise"] == "1":  # the highest label is the noise list
        labels = [-1 if label == int(summary["lists"]) - 1 else label for label in labels]
    return "".join(f"{label}\n" for label in labels), summary


def check_same_answers(folder, data_file, words):
    expected_labels, summary = run_command(folder, data_file, words)
    model = tavri.Tavri(**options_of(words)).fit(np.loadtxt(data_file, ndmin=2))
    assert "".join(f"{label}\n" for label in model.labels_) == expected_labels
    assert summary == {
        "lists": str(model.n_clusters_ + model.has_noise_),
        "clusters": str(model.n_clusters_),
        "noise": str(int(model.has_noise_)),
        "rows": str(len(model.labels_)),
        "points": str(len(model.prototype_indices_)),
        "sampled": str(int(len(model.densities_) > 0)),
    }
    return model


def test_the_golden_cases_are_there():
    if not GOLDEN_CASES:
        pytest.skip("TAVRI_GOLDEN_DATA holds no cases (the C++ golden test writes them)")
    options = [(GOLDEN / f"{name}.args").read_text().split() for name in GOLDEN_CASES]
    # Each option of the command line is among them, and so is sampling.
    assert {word for words in options for word in words[::2]} == {"-u", "-f", "-s"}
    assert any(sum(1 for _ in open(GOLDEN / f"{name}.txt")) > 4000 for name in GOLDEN_CASES)


@needs_exe
@pytest.mark.parametrize("name", GOLDEN_CASES or [pytest.param("none", marks=pytest.mark.skip("no golden data"))])
def test_golden_case(name, tmp_path):
    check_same_answers(tmp_path, GOLDEN / f"{name}.txt", (GOLDEN / f"{name}.args").read_text().split())


def write_data(path, data):
    """Writes data as the command line reads it; %.17g gives back every double exactly."""
    np.savetxt(path, data, fmt="%.17g", delimiter="\t")
    assert np.array_equal(np.loadtxt(path, ndmin=2), data)
    return path


@needs_exe
@pytest.mark.parametrize(
    "words",
    [[], ["-f", "1"], ["-u", "0.3"]],
    ids=["default", "attach noise", "u 0.3"],
)
def test_sampled_fractional_data(tmp_path, words):
    data = make_blobs(6000, 3, seed=31)
    model = check_same_answers(tmp_path, write_data(tmp_path / "input.txt", data), words)
    assert len(model.densities_) > 0


@needs_exe
def test_columns_of_extreme_magnitudes(tmp_path):
    data = make_blobs(500, 4, seed=32)
    data[:, 1] *= 1e-160  # squares underflow
    data[:, 2] *= 1e200  # squares overflow
    data[:, 3] = 7.25  # constant
    check_same_answers(tmp_path, write_data(tmp_path / "input.txt", data), ["-u", "0.2"])
