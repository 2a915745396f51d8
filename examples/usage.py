import tempfile
import numpy as np
from nuvaris_qor_router import PyQorRouter

rng = np.random.default_rng(0)
vectors = rng.standard_normal((3000, 64), dtype=np.float32)  # 100 docs x 30 token vectors
vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)     # unit rows, as from an encoder
router = PyQorRouter(64)
router.build(vectors, doc_ids=list(range(1000, 1100)), doc_offsets=[(i * 30, i * 30 + 30) for i in range(100)])

query = vectors[300:310] + 0.05 * rng.standard_normal((10, 64), dtype=np.float32)  # like doc 1010
print(router.route_query(query, n_probes=4, max_candidates=5))  # [(doc_id, proxy_score), ...], best first
print(router.get_cluster_entries(query))                        # entry-point doc ids for a graph search
router.add_documents(vectors[:30], [5000], [(0, 30)])           # encoded with the existing codebook
path = tempfile.mkdtemp() + "/router.qor"
router.save(path)                                               # one file; PyQorRouter(64).load(path) restores it
