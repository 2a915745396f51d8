import tempfile
import numpy as np
from nuvaris_qor_search import Retriever

rng = np.random.default_rng(0)
docs = [rng.standard_normal((int(n), 64), dtype=np.float32) for n in rng.integers(20, 40, 300)]
docs = [d / np.linalg.norm(d, axis=1, keepdims=True) for d in docs]  # unit token vectors, one array per document
retriever = Retriever.build(docs, doc_ids=list(range(1000, 1300)), n_fine=256)

query = docs[42][:6] + 0.05 * rng.standard_normal((6, 64), dtype=np.float32)  # 6 tokens like doc 1042
print(retriever.search(query, k=3, n_probes=4, candidates=200))  # [(1042, 5.9...), ...]: exact MaxSim, best first
retriever.add([docs[42]], doc_ids=[7])                            # encoded with the trained codebook
path = tempfile.mkdtemp() + "/index"
retriever.save(path)                                              # router file + vector store + manifest
with Retriever.load(path) as again:                               # vectors memory-mapped, files checked
    print(again.search(query, k=3))                               # 1042 and its copy 7 tie: lower index first
