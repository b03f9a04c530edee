"""Typed use of the whole API: mypy --strict must accept it as it is.

Every result is assigned to an annotated name, so an overload that gave the
wrong type back would fail the check.
"""

import pickle

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import dorvik


def arrays(enc: dorvik.Encoder) -> bytes:
    table = np.array([["b", 1.5], ["a", 2.0]], dtype=object)
    codes: NDArray[np.float64] = enc.encode(table)
    back: NDArray[np.object_] | NDArray[np.float64] = enc.decode(codes)
    again: NDArray[np.float64] = enc.encode(obj=back)
    state: bytes = enc.__getstate__()
    return state + again.tobytes()


def frames(enc: dorvik.Encoder) -> pd.DataFrame:
    df = pd.DataFrame({"city": ["Oslo", "Bergen"], "n": [1, 2]})
    codes: pd.DataFrame = enc.encode(df)
    back: pd.DataFrame = enc.decode(obj=codes)
    return back


def main() -> None:
    enc = dorvik.Encoder()
    state = arrays(enc)
    restored = dorvik.Encoder("label")
    restored.__setstate__(state=enc.__getstate__())
    copy: dorvik.Encoder = pickle.loads(pickle.dumps(restored))
    print(len(state), frames(dorvik.Encoder(encoding=None)), frames(copy))


if __name__ == "__main__":
    main()
