"""Type-checked (mypy --strict, and pyright strict with the settings of
pyrightconfig.json beside it) against the installed package, as a user's
code meets it: the stub must be found without any search path and must
give these types."""

from typing import assert_type

import numpy as np
import numpy.typing as npt

from nuvaris_qor_router import PanicException, PyQorRouter

vectors: npt.NDArray[np.float32] = np.zeros((40, 8), dtype=np.float32)
router = PyQorRouter(8)
router.build(vectors, [1, 2], [(0, 20), (20, 40)], n_fine=16, n_coarse=4, max_kmeans_iter=5, ctop_r=2)
router.add_documents(vectors[:10], [3], [(0, 10)])

assert_type(router.route_query(vectors[:3], n_probes=2, max_candidates=5), list[tuple[int, float]])
assert_type(router.get_cluster_entries(vectors[:3]), list[int])
assert_type(router.compute_query_profile(vectors[:3]), tuple[list[int], list[int]])
assert_type(router.query_cluster_overlaps(vectors[:3], 2), list[tuple[int, int]])
assert_type(router.is_ready(), bool)
assert_type(router.n_docs() + router.n_fine() + router.n_coarse(), int)
router.save("router.qor")
router.load("router.qor")

# The stub refuses what the module refuses; an unused ignore is an error
# under --strict, so each line below must really be rejected.
router.save(b"router.qor")  # type: ignore[arg-type]
router.route_query(vectors, n_probes=1.5)  # type: ignore[arg-type]
router.route_query(vectors, probes=2)  # type: ignore[call-arg]
router.rebuild()  # type: ignore[attr-defined]


def is_panic(exc: BaseException) -> bool:
    return isinstance(exc, PanicException)
