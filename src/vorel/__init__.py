"""vorel: generalized additive models with automatic smoothness selection."""

from vorel._vorel_native import FittedGam, InternalFailure, fit, fit_additive
from vorel._vorel_native import __all__  # noqa: F401  ["FittedGam", "fit", "fit_additive"]
