"""Late-interaction search on top of `nuvaris_qor_router`: the router's
candidates reranked by exact MaxSim over the documents' stored token
vectors (`Retriever`), with its own memory-mapped vector store.

Documents are keyed by the caller's ids (integers or strings); they can be
added, removed, updated and compacted, and a retriever is saved to and
loaded from a directory. Long operations log their steps to the
`nuvaris_qor_search` logger and draw progress bars on a terminal
(`show_progress=`).
"""

from importlib import metadata as _metadata

from ._threads import get_num_threads, set_num_threads
from .maxsim import maxsim_block, top_k
from .retriever import Retriever
from .store import VectorStore

try:
    __version__: str = _metadata.version("nuvaris_qor_router")
except _metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Retriever",
    "VectorStore",
    "__version__",
    "get_num_threads",
    "maxsim_block",
    "set_num_threads",
    "top_k",
]
