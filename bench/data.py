"""Seeded, realistic test data: file-like keys carrying 1 to 8 tags each, drawn
from a vocabulary with Zipf-like frequencies (a few very common tags, a long
tail of rare ones)."""

import itertools
import random

SYLLABLES = ["ka", "lo", "mi", "ne", "ru", "sa", "to", "vi", "ba", "de", "fu", "go", "hi", "ja", "pe", "zo"]
COMMON = ["photo", "2019", "2020", "family", "travel", "holiday", "work", "draft", "shared", "archive"]
EXTENSIONS = ["jpg", "png", "pdf", "docx", "mp4"]


def vocabulary(size):
    words = itertools.chain(
        COMMON, ("".join(p) for n in (2, 3, 4) for p in itertools.product(SYLLABLES, repeat=n))
    )
    return list(itertools.islice(words, size))


def generate(n_keys, vocab_size=10_000, seed=42):
    """A dict from key to list of tags, and the vocabulary ordered from the most
    to the least frequent tag."""
    rng = random.Random(seed)
    vocab = vocabulary(vocab_size)
    cum, total = [], 0.0
    for rank in range(1, vocab_size + 1):
        total += 1.0 / rank
        cum.append(total)
    counts = [rng.randint(1, 8) for _ in range(n_keys)]
    drawn = rng.choices(vocab, cum_weights=cum, k=sum(counts))
    data, start = {}, 0
    for i, count in enumerate(counts):
        key = f"u{rng.randrange(100_000):05d}/album-{i % 997:03d}/IMG_{i:07d}.{EXTENSIONS[i % 5]}"
        data[key] = list(dict.fromkeys(drawn[start:start + count]))
        start += count
    return data, vocab


def with_own_keys(data):
    """The same entries under new, equal key objects, made one after another.
    Stores built from their own keys share no object that a query touches for
    each key, so one store's query cannot bring into the cache what another's
    then finds there: what a first query costs, it costs every store in full.
    Giving every store such keys lays their strings out alike in memory."""
    return {key.encode().decode(): tags for key, tags in data.items()}
