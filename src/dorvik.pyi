"""Label encoding of the text columns of NumPy arrays and pandas DataFrames."""

from typing import Any, final, overload

import numpy as np
import pandas as pd
from numpy.typing import NDArray

@final
class Encoder:
    # Only "label" is known; other strings raise ValueError.
    def __init__(self, encoding: str | None = None) -> None: ...
    # Fits the text columns and gives codes: numbers pass through, missing
    # texts become NaN.
    @overload
    def encode(self, obj: NDArray[Any]) -> NDArray[np.float64]: ...
    @overload
    def encode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    # Text columns of the last fit come back as objects (str or None). An
    # encoder that never fitted a table hands back float64.
    @overload
    def decode(self, obj: NDArray[Any]) -> NDArray[np.object_] | NDArray[np.float64]: ...
    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
