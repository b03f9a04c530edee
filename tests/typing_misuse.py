"""Each marked line is a misuse that mypy --strict must report with that code.

Were the stubs not found, dorvik would be Any and these would go unnoticed.
"""

import numpy as np
import pandas as pd

import dorvik

enc = dorvik.Encoder()
enc.__setstate__(1)  # error: arg-type
enc.__setstate__(bytearray(b""))  # error: arg-type
enc.encode([["a"]])  # error: call-overload
enc.decode("a")  # error: call-overload
dorvik.Encoder(encoding=1)  # error: arg-type
dorvik.Encoder(strategy="label")  # error: call-arg
codes: pd.DataFrame = enc.encode(np.zeros((1, 1)))  # error: assignment
back: np.ndarray = enc.decode(pd.DataFrame())  # error: assignment
text: str = enc.__getstate__()  # error: assignment


class Sub(dorvik.Encoder):  # error: misc
    pass
