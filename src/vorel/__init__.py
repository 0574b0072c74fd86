"""vorel: generalized additive models with automatic smoothness selection."""

from vorel._vorel_native import *  # noqa: F401,F403
from vorel._vorel_native import __all__  # noqa: F401
