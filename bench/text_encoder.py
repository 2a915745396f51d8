"""A small BERT-style text encoder in NumPy: reads a model's weights from a
safetensors file, splits text into word pieces with its vocab.txt, and runs
the encoder's forward pass, giving each word piece its last-layer vector.

Only what the transformer data set needs (bench/make_dataset_transformer.py):
absolute positions, one token type, GELU with erf, post-layer normalisation.
No torch, no tokenizer package.
"""

import json
import math
import struct
import unicodedata
from dataclasses import dataclass

import numpy as np

CLS, SEP, MASK, UNK, PAD = "[CLS]", "[SEP]", "[MASK]", "[UNK]", "[PAD]"
MAX_WORD_CHARS = 100  # longer words become [UNK] whole, as the vocabulary's tokenizer does

_DTYPES = {"F32": np.float32, "F16": np.float16, "F64": np.float64, "I64": np.int64, "I32": np.int32}


# -- weights -----------------------------------------------------------------

def read_safetensors(data):
    """{name: array} from the bytes of a safetensors file: an 8-byte
    little-endian header length, a JSON header naming each tensor's dtype,
    shape and byte range, then the raw little-endian data."""
    if len(data) < 8:
        raise ValueError("safetensors data shorter than its 8-byte header length")
    (n,) = struct.unpack("<Q", data[:8])
    if 8 + n > len(data):
        raise ValueError(f"safetensors header of {n} bytes runs past the {len(data)}-byte file")
    header = json.loads(bytes(data[8:8 + n]).decode("utf-8"))
    body = memoryview(data)[8 + n:]
    out = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        dt = np.dtype(_DTYPES[info["dtype"]]).newbyteorder("<")
        lo, hi = info["data_offsets"]
        shape = tuple(info["shape"])
        if hi - lo != dt.itemsize * math.prod(shape) or hi > len(body):
            raise ValueError(f"tensor {name}: byte range {lo}..{hi} does not hold shape {shape}")
        out[name] = np.frombuffer(body[lo:hi], dtype=dt).reshape(shape).astype(dt.newbyteorder("="))
    return out


@dataclass
class Layer:
    wq: np.ndarray
    bq: np.ndarray
    wk: np.ndarray
    bk: np.ndarray
    wv: np.ndarray
    bv: np.ndarray
    wo: np.ndarray       # attention output projection
    bo: np.ndarray
    ln1_g: np.ndarray
    ln1_b: np.ndarray
    wi: np.ndarray       # feed-forward in (intermediate, hidden)
    bi: np.ndarray
    wf: np.ndarray       # feed-forward out (hidden, intermediate)
    bf: np.ndarray
    ln2_g: np.ndarray
    ln2_b: np.ndarray


@dataclass
class Weights:
    word: np.ndarray      # (vocab, hidden)
    position: np.ndarray  # (max positions, hidden)
    token_type: np.ndarray
    ln_g: np.ndarray
    ln_b: np.ndarray
    layers: list
    heads: int
    eps: float


def load_weights(tensors, heads, eps=1e-12):
    """Weights from a {name: array} map with BERT's tensor names. Linear
    weights are kept as stored, (out, in): y = x @ W.T + b."""
    def t(name):
        return np.ascontiguousarray(tensors[name], dtype=np.float32)

    layers = []
    i = 0
    while f"encoder.layer.{i}.attention.self.query.weight" in tensors:
        p = f"encoder.layer.{i}."
        layers.append(Layer(
            t(p + "attention.self.query.weight"), t(p + "attention.self.query.bias"),
            t(p + "attention.self.key.weight"), t(p + "attention.self.key.bias"),
            t(p + "attention.self.value.weight"), t(p + "attention.self.value.bias"),
            t(p + "attention.output.dense.weight"), t(p + "attention.output.dense.bias"),
            t(p + "attention.output.LayerNorm.weight"), t(p + "attention.output.LayerNorm.bias"),
            t(p + "intermediate.dense.weight"), t(p + "intermediate.dense.bias"),
            t(p + "output.dense.weight"), t(p + "output.dense.bias"),
            t(p + "output.LayerNorm.weight"), t(p + "output.LayerNorm.bias")))
        i += 1
    if not layers:
        raise ValueError("no encoder layers among the tensors")
    hidden = layers[0].wq.shape[0]
    if hidden % heads:
        raise ValueError(f"hidden width {hidden} is not a multiple of {heads} heads")
    return Weights(t("embeddings.word_embeddings.weight"), t("embeddings.position_embeddings.weight"),
                   t("embeddings.token_type_embeddings.weight"), t("embeddings.LayerNorm.weight"),
                   t("embeddings.LayerNorm.bias"), layers, heads, eps)


# -- forward pass --------------------------------------------------------------

def _erf(x):
    try:
        from scipy.special import erf
    except ImportError:  # tests run without SciPy, on tiny inputs
        return np.frompyfunc(math.erf, 1, 1)(x).astype(x.dtype)
    return erf(x)


def gelu(x):
    return (0.5 * x * (1.0 + _erf(x / np.float32(math.sqrt(2.0))))).astype(np.float32)


def layer_norm(x, g, b, eps):
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return ((x - mean) / np.sqrt(var + eps) * g + b).astype(np.float32)


def forward(w, ids, attend):
    """Last-layer vectors (B, T, hidden) float32 of the token ids (B, T);
    `attend` (B, T) bool says which positions are real (padding is never
    attended to; its own outputs are meaningless)."""
    ids = np.asarray(ids)
    bsz, n = ids.shape
    if n > len(w.position):
        raise ValueError(f"sequence of {n} tokens; the model has {len(w.position)} positions")
    x = w.word[ids] + w.position[:n] + w.token_type[0]
    x = layer_norm(x, w.ln_g, w.ln_b, w.eps)
    hidden = x.shape[-1]
    dh = hidden // w.heads
    # Padding gets a large negative logit, so its softmax weight is zero.
    bias = np.where(np.asarray(attend, bool), 0.0, -1e9).astype(np.float32)[:, None, None, :]
    scale = np.float32(1.0 / math.sqrt(dh))

    def split(y):  # (B*T, hidden) -> (B, heads, T, dh), contiguous: NumPy's
        # stacked products fall back to a slow loop on strided operands
        return np.ascontiguousarray(y.reshape(bsz, n, w.heads, dh).transpose(0, 2, 1, 3))

    x = x.reshape(bsz * n, hidden)  # every linear layer as one 2-D product
    for L in w.layers:
        q = split(x @ L.wq.T + L.bq)
        k = split(x @ L.wk.T + L.bk)
        v = split(x @ L.wv.T + L.bv)
        s = (q @ np.ascontiguousarray(k.transpose(0, 1, 3, 2))) * scale + bias
        s -= s.max(axis=-1, keepdims=True)
        p = np.exp(s)
        p /= p.sum(axis=-1, keepdims=True)
        ctx = (p @ v).transpose(0, 2, 1, 3).reshape(bsz * n, hidden)
        x = layer_norm(ctx @ L.wo.T + L.bo + x, L.ln1_g, L.ln1_b, w.eps)
        h = gelu(x @ L.wi.T + L.bi)
        x = layer_norm(h @ L.wf.T + L.bf + x, L.ln2_g, L.ln2_b, w.eps)
    return x.reshape(bsz, n, hidden)


# -- tokenizer -----------------------------------------------------------------

def _is_punctuation(ch):
    cp = ord(ch)
    # ASCII symbols such as $ and ^ are not Unicode punctuation but split words all the same.
    if 33 <= cp <= 47 or 58 <= cp <= 64 or 91 <= cp <= 96 or 123 <= cp <= 126:
        return True
    return unicodedata.category(ch).startswith("P")


def _is_cjk(cp):
    return (0x4E00 <= cp <= 0x9FFF or 0x3400 <= cp <= 0x4DBF or 0x20000 <= cp <= 0x2A6DF
            or 0x2A700 <= cp <= 0x2B81F or 0x2B820 <= cp <= 0x2CEAF or 0xF900 <= cp <= 0xFAFF
            or 0x2F800 <= cp <= 0x2FA1F)


class WordPiece:
    """Lower-casing word-piece tokenizer over a vocab.txt (one piece a line,
    the line number is the id; continuation pieces start with ##)."""

    def __init__(self, vocab_lines):
        self.vocab = {}
        for i, line in enumerate(vocab_lines):
            self.vocab.setdefault(line.rstrip("\n"), i)
        self.pieces = {i: p for p, i in self.vocab.items()}
        for special in (CLS, SEP, MASK, UNK, PAD):
            if special not in self.vocab:
                raise ValueError(f"vocabulary lacks {special}")

    def words(self, text):
        """Lower-cased, accent-stripped words with each punctuation mark a
        word of its own; control characters dropped, CJK ideographs split."""
        out = []
        for ch in unicodedata.normalize("NFD", text.lower()):
            cp = ord(ch)
            cat = unicodedata.category(ch)
            if cp == 0 or cp == 0xFFFD or cat == "Mn":
                continue
            if ch in " \t\n\r" or cat == "Zs":
                out.append(" ")
            elif cat.startswith("C"):
                continue
            elif _is_punctuation(ch) or _is_cjk(cp):
                out.append(f" {ch} ")
            else:
                out.append(ch)
        return "".join(out).split()

    def word_pieces(self, word):
        """Greedy longest match from the left; a word with an unmatched rest
        is [UNK] whole."""
        if len(word) > MAX_WORD_CHARS:
            return [UNK]
        pieces, start = [], 0
        while start < len(word):
            end = len(word)
            while end > start:
                piece = word[start:end] if start == 0 else "##" + word[start:end]
                if piece in self.vocab:
                    break
                end -= 1
            else:
                return [UNK]
            pieces.append(piece)
            start = end
        return pieces

    def tokenize(self, text):
        return [p for word in self.words(text) for p in self.word_pieces(word)]

    def ids(self, pieces):
        return [self.vocab[p] for p in pieces]


# -- token vectors of passages and queries -------------------------------------

PUNCTUATION = frozenset("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")


def passage_inputs(tok, text, max_tokens):
    """([CLS] pieces [SEP]) ids truncated to max_tokens, and which of them
    give the passage a vector: every piece but [CLS], [SEP] and punctuation."""
    pieces = tok.tokenize(text)[: max_tokens - 2]
    keep = [False] + [p not in PUNCTUATION for p in pieces] + [False]
    return tok.ids([CLS, *pieces, SEP]), keep


def query_inputs(tok, text, length):
    """The query's ids and kept positions. length=None: [CLS] pieces [SEP],
    one vector per piece. length=n: the pieces (truncated) followed by
    [MASK]s up to n pieces, all attended to, one vector each: the mask
    positions pick up the query's context and widen what it matches."""
    pieces = tok.tokenize(text)
    if length is None:
        return tok.ids([CLS, *pieces, SEP]), [False] + [True] * len(pieces) + [False]
    pieces = pieces[:length]
    ids = tok.ids([CLS] + pieces + [SEP] + [MASK] * (length - len(pieces)))
    keep = [False] + [True] * len(pieces) + [False] + [True] * (length - len(pieces))
    return ids, keep


def encode_batches(w, inputs, batch_tokens=8192, progress=None):
    """Last-layer vectors of the kept positions of each (ids, keep) input,
    one (kept, hidden) float32 array per input, in input order. Inputs are
    run in batches of similar length (padding wastes little)."""
    order = sorted(range(len(inputs)), key=lambda i: len(inputs[i][0]))
    out = [None] * len(inputs)
    pos = 0
    while pos < len(order):
        longest = len(inputs[order[pos]][0])
        end = pos + 1
        while end < len(order) and (end - pos + 1) * len(inputs[order[end]][0]) <= batch_tokens:
            end += 1
        batch = order[pos:end]
        n = max(len(inputs[i][0]) for i in batch)
        longest = max(longest, n)
        ids = np.zeros((len(batch), n), np.int64)
        attend = np.zeros((len(batch), n), bool)
        for r, i in enumerate(batch):
            ids[r, : len(inputs[i][0])] = inputs[i][0]
            attend[r, : len(inputs[i][0])] = True
        y = forward(w, ids, attend)
        for r, i in enumerate(batch):
            keep = np.asarray(inputs[i][1], bool)
            out[i] = y[r, : len(keep)][keep]
        pos = end
        if progress:
            progress(pos, len(order))
    return out
