"""Clusters four blobs with scattered noise and draws them (the README's picture).

    /usr/bin/python3 python/examples/plot_clusters.py docs/python_clusters.png
"""

import sys

import matplotlib.pyplot as plt
import numpy as np

import tavri

rng = np.random.default_rng(7)
centres = np.array([[0.0, 0.0], [6.0, 1.0], [2.0, 6.0], [8.0, 7.0]])
X = np.concatenate([c + rng.normal(scale=0.8, size=(150, 2)) for c in centres]
                   + [rng.uniform(-3, 11, size=(40, 2))])

model = tavri.Tavri().fit(X)
noise = model.labels_ == -1
print(f"{model.n_clusters_} clusters, {noise.sum()} noise points")

plt.scatter(X[~noise, 0], X[~noise, 1], c=model.labels_[~noise], cmap="tab10", vmin=0, vmax=9, s=12)
plt.scatter(X[noise, 0], X[noise, 1], c="grey", marker="x", s=14, label="noise (-1)")
plt.title(f"Tavri: {model.n_clusters_} clusters found")
plt.legend(loc="upper left")
plt.savefig(sys.argv[1] if len(sys.argv) > 1 else "clusters.png", dpi=100)
