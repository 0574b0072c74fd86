from vorel._vorel_native import FittedGam as FittedGam
from vorel._vorel_native import InternalFailure as InternalFailure
from vorel._vorel_native import fit as fit
from vorel._vorel_native import fit_additive as fit_additive

__all__: list[str]
