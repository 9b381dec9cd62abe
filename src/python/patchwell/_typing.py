"""Short names for the array types of the public signatures. They stand
for exactly the types they name (mypy sees no difference), and the API
page shows these names instead of NumPy's long unions."""
from typing import Any, Union

import numpy as np
import numpy.typing as npt

# Anything numpy.asarray turns into a picture or a mask: an array of any
# dtype and strides, a nested list, ...
ImageLike = npt.ArrayLike
MaskLike = npt.ArrayLike

# What repair returns: the repaired picture (the input's dtype and shape),
# the pixels left unfilled, and the source map (the index y * W + x each
# filled pixel was copied from, -1 elsewhere).
Image = npt.NDArray[Any]
Mask = npt.NDArray[np.bool_]
SourceMap = npt.NDArray[np.int32]

# inpaint works in place on arrays of its own dtypes.
ImageArray = npt.NDArray[np.uint8]
MaskArray = npt.NDArray[Union[np.bool_, np.uint8]]
