#!/usr/bin/python3
"""Times Tavri().fit against the engine's own time on the same numbers.

    cmake -S . -B build && cmake --build build -j2 --target tavri_python tavri_time_cluster
    /usr/bin/python3 python/bench_fit.py [--build build] [--rows 100000] [--cols 10] [--repeats 5]

The data are seeded blobs with 5% uniform noise. The engine's time is taken in
C++ by tavri_time_cluster (tavri::Cluster on the same doubles, read from a
file); the package's is the wall time of fit, conversion and checks included.
The two are run in turn, and the fastest of each is kept: other work on a
shared machine only ever adds time. Prints both and their ratio.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np


def blobs(rows, cols, seed=2024):
    """Twelve Gaussian blobs and 5% of rows scattered uniformly."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0, 1000, size=(12, cols))
    data = centres[rng.integers(0, 12, size=rows)] + rng.normal(scale=15, size=(rows, cols))
    noise = rng.random(rows) < 0.05
    data[noise] = rng.uniform(-50, 1050, size=(int(noise.sum()), cols))
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the CMake build folder (default: build)")
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--cols", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    import tavri

    timer = build / "python" / "tavri_time_cluster"
    data = blobs(args.rows, args.cols)
    engine_times, fit_times = [], []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "data.bin")
        data.tofile(path)
        for _ in range(args.repeats):
            out = subprocess.run([str(timer), path, str(args.rows), str(args.cols), "2"],
                                 check=True, capture_output=True, text=True).stdout
            fields = dict(item.split("=") for item in out.split())
            engine_times.append(float(fields["seconds"]))
            start = time.perf_counter()
            model = tavri.Tavri().fit(data)
            fit_times.append(time.perf_counter() - start)
            if int(fields["clusters"]) != model.n_clusters_ or int(fields["noise"]) != model.has_noise_:
                sys.exit(f"different results: engine {out.strip()}, package {model.n_clusters_} clusters")

    engine, fit = min(engine_times), min(fit_times)
    print(f"data: {args.rows} x {args.cols}, {model.n_clusters_} clusters, noise {model.has_noise_}, "
          f"fastest of {args.repeats}")
    print(f"engine (C++ tavri::Cluster): {engine * 1000:.1f} ms")
    print(f"Tavri().fit (Python):        {fit * 1000:.1f} ms")
    print(f"ratio fit / engine:          {fit / engine:.3f} (target: at most 1.2)")


if __name__ == "__main__":
    main()
