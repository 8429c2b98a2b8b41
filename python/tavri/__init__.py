"""Tavri: clustering of numeric points without being told how many clusters there are.

Every column is standardised (mean 0, population standard deviation 1), more
than 4000 rows are first reduced to at most 4000 prototype rows, and the points
are grouped in two phases: mutual nearest neighbours, then density-driven
merging at a falling threshold. Groups too small to be clusters form one noise
list (label -1) unless ``attach_noise`` joins them to the nearest large group.
The labels are those of the ``tavri`` command on the same numbers, bit for bit.

>>> import tavri
>>> tavri.cluster([[0], [1], [2], [10], [11], [12]])
array([0, 0, 0, 1, 1, 1], dtype=int32)
"""

from ._estimator import Tavri, cluster
from ._tavri import version as _engine_version

__version__ = _engine_version()
__all__ = ["Tavri", "cluster", "__version__"]
