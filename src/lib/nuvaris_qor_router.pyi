from typing import Sequence, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["PyQorRouter"]
__version__: str

class PanicException(BaseException):
    """Raised when the router detects a broken internal invariant."""

@final
class PyQorRouter:
    """Python-facing QOR router for multi-vector candidate generation."""

    def __new__(cls, dim: SupportsIndex) -> PyQorRouter: ...
    def build(
        self,
        all_vectors: npt.NDArray[np.float32],
        doc_ids: Sequence[SupportsIndex],
        doc_offsets: Sequence[tuple[SupportsIndex, SupportsIndex]],
        n_fine: SupportsIndex = 256,
        n_coarse: SupportsIndex = 32,
        max_kmeans_iter: SupportsIndex = 30,
        ctop_r: SupportsIndex = 3,
    ) -> None: ...
    def add_documents(
        self,
        new_vectors: npt.NDArray[np.float32],
        new_doc_ids: Sequence[SupportsIndex],
        doc_offsets: Sequence[tuple[SupportsIndex, SupportsIndex]],
    ) -> None: ...
    def route_query(
        self,
        query_vectors: npt.NDArray[np.float32],
        n_probes: SupportsIndex = 4,
        max_candidates: SupportsIndex = 500,
    ) -> list[tuple[int, float]]: ...
    def get_cluster_entries(
        self, query_vectors: npt.NDArray[np.float32], n_probes: SupportsIndex = 4
    ) -> list[int]: ...
    def compute_query_profile(
        self, query_vectors: npt.NDArray[np.float32], n_probes: SupportsIndex = 4
    ) -> tuple[list[int], list[int]]: ...
    def save(self, path: str) -> None: ...
    def load(self, path: str) -> None: ...
    def is_ready(self) -> bool: ...
    def n_docs(self) -> int: ...
    def n_fine(self) -> int: ...
    def n_coarse(self) -> int: ...
    def query_cluster_overlaps(
        self, query_vectors: npt.NDArray[np.float32], n_probes: SupportsIndex = 4
    ) -> list[tuple[int, int]]: ...
