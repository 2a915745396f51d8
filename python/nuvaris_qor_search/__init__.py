"""Late-interaction search on top of `nuvaris_qor_router`: the router's
candidates reranked by exact MaxSim over the documents' stored token
vectors (`Retriever`), with its own memory-mapped vector store."""

from ._threads import get_num_threads, set_num_threads
from .maxsim import maxsim_block, top_k
from .retriever import Retriever
from .store import VectorStore

__all__ = ["Retriever", "VectorStore", "get_num_threads", "maxsim_block", "set_num_threads", "top_k"]
