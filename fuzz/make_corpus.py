"""Regenerates the seed corpus: a few real frames of small fits, one per predictor kind, and
one frame holding null where floats are expected. Run with the package importable:
    PYTHONPATH=build/dev/pkg python fuzz/make_corpus.py
"""

import json
import pathlib
import struct

import numpy as np

import vorel

OUT = pathlib.Path(__file__).parent / "corpus"


def main() -> None:
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(120, 5))
    x[:, 2] = rng.integers(0, 4, 120)
    y = np.sin(6 * x[:, 0]) + 0.3 * rng.standard_normal(120)
    fits = {
        "gaussian_cr": vorel.fit("gaussian", x, y, k=5),
        "poisson_cr_stable": vorel.fit("poisson", x, np.round(np.exp(y)), design="cr_stable", k=5),
        "binomial_re": vorel.fit("binomial", x[:, 2:], (y > 0).astype(float), design="re"),
        "additive_all_kinds": vorel.fit_additive(
            "gaussian", x, y, [(0, "cr", 4), ((3, 4), "te", (3, 3)), (2, "re"), (1, "cr_stable", 4)]),
    }
    OUT.mkdir(exist_ok=True)
    for name, fit in fits.items():
        (OUT / f"{name}.frame").write_bytes(fit.serialize())
    doc = json.loads(fits["gaussian_cr"].serialize()[17:])
    doc["scale"] = None
    doc["vcov"]["data"][3] = None
    body = json.dumps(doc, separators=(",", ":")).encode()
    (OUT / "gaussian_nan_scale.frame").write_bytes(b"VOREL" + struct.pack("<IQ", 1, len(body)) + body)


if __name__ == "__main__":
    main()
