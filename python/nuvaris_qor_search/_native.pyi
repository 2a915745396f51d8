from typing import TypedDict, type_check_only

import numpy as np
from numpy.typing import NDArray

# Only the stub names this type: at run time read_state returns a plain dict.
@type_check_only
class StateSummary(TypedDict):
    dim: int
    n_fine: int
    n_coarse: int
    n_docs: int
    ctop_r: int
    holds_documents: bool

def maxsim(
    query: NDArray[np.float32],
    vectors: NDArray[np.float32] | NDArray[np.float16],
    offsets: NDArray[np.int64],
    candidates: NDArray[np.int64],
    out: NDArray[np.float32],
    /,
) -> None: ...
def read_state(data: bytes, /) -> StateSummary: ...
def codebook_only_state(data: bytes, /) -> bytes: ...
def codebook_identity(data: bytes, /) -> bytes: ...
def fine_centroids(data: bytes, /) -> tuple[int, int, bytes]: ...
def train_quantiser(
    centroids: NDArray[np.float32],
    vectors: NDArray[np.float32],
    bits: int,
    sample: int,
    seed: int,
    cuts: NDArray[np.float32],
    levels: NDArray[np.float32],
    /,
) -> None: ...
def encode_codes(
    centroids: NDArray[np.float32],
    cuts: NDArray[np.float32],
    levels: NDArray[np.float32],
    vectors: NDArray[np.float32],
    fine: NDArray[np.uint16],
    residual: NDArray[np.uint8],
    /,
) -> None: ...
def code_maxsim(
    query: NDArray[np.float32],
    centroids: NDArray[np.float32],
    levels: NDArray[np.float32],
    fine: NDArray[np.uint16],
    residual: NDArray[np.uint8],
    offsets: NDArray[np.int64],
    candidates: NDArray[np.int64],
    out: NDArray[np.float32],
    /,
) -> None: ...
def token_lists(fine: NDArray[np.uint16], offsets: NDArray[np.int64], n_fine: int, /) -> tuple[bytes, bytes]: ...
def token_candidates(
    query: NDArray[np.float32],
    centroids: NDArray[np.float32],
    starts: NDArray[np.int64],
    docs: NDArray[np.int64],
    probe: int,
    /,
) -> bytes: ...
def token_search(
    query: NDArray[np.float32],
    probes: NDArray[np.int64],
    centroids: NDArray[np.float32],
    levels: NDArray[np.float32],
    fine: NDArray[np.uint16],
    residual: NDArray[np.uint8],
    offsets: NDArray[np.int64],
    starts: NDArray[np.int64],
    docs: NDArray[np.int64],
    extra: NDArray[np.int64],
    skip: NDArray[np.uint8] | None,
    score: bool,
    shortlist: int,
    /,
) -> tuple[bytes, bytes | None]: ...
def set_num_threads(n: int, /) -> None: ...
def get_num_threads() -> int: ...
