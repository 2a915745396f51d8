import os
import tempfile
import numpy as np
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")  # before importing Ray: a local Ray on loopback only
import ray
from nuvaris_qor_search.shards import ShardedRouter, train_codebook, train_quantiser

ray.init(num_cpus=2, include_dashboard=False)  # on a cluster: ray.init(address="auto")
rng = np.random.default_rng(0)
vectors = rng.standard_normal((30_000, 64), dtype=np.float32)  # 1000 docs x 30 token vectors
vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
offsets = [(i * 30, i * 30 + 30) for i in range(1000)]

codebook = train_codebook(vectors[:6000], offsets[:200], n_fine=256, n_coarse=16)  # bytes; a sample of 200 docs
quantiser = train_quantiser(codebook, vectors[:6000])           # bytes: the token codes' residual quantiser
router = ShardedRouter(codebook, 2, num_cpus=1, quantiser=quantiser)  # 2 shard actors, 1 CPU each, token codes
router.add(vectors, list(range(1000)), offsets)                  # a np.load(..., mmap_mode="r") matrix works too
query = vectors[300:310] + 0.05 * rng.standard_normal((10, 64), dtype=np.float32)  # like doc 10
print(router.route_query(query, n_probes=4, max_candidates=5))  # [(doc_id, proxy_score)], merged, best first
print(router.search(query, k=3))                                # exact MaxSim top 3 of each shard's best, merged
directory = tempfile.mkdtemp()
router.save(directory)                                          # shard-000N/, codebook.qor, quantiser.npy, manifest
router.close()
with ShardedRouter.load(directory, num_cpus=1) as again:
    print(again.shard_doc_counts(), again.search(query, k=3))
ray.shutdown()
