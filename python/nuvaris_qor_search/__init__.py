"""Late-interaction search on top of `nuvaris_qor_router`: the router's
candidates reranked by exact MaxSim over the documents' stored token
vectors (`Retriever`), with its own memory-mapped vector store."""

from .maxsim import maxsim_block, top_k
from .retriever import Retriever
from .store import VectorStore

__all__ = ["Retriever", "VectorStore", "maxsim_block", "top_k"]
