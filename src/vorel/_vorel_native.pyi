"""Native core of vorel: the two fit entry points and the fitted-model class."""

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__: list[str]

_F64Array = npt.NDArray[np.float64]
_Real = SupportsFloat | SupportsIndex
_Term = (
    tuple[SupportsIndex, Literal["cr", "cr_stable"]]
    | tuple[SupportsIndex, Literal["cr", "cr_stable"], SupportsIndex]
    | tuple[SupportsIndex, Literal["re"]]
    | tuple[SupportsIndex, Literal["re"], object]
    | tuple[tuple[SupportsIndex, SupportsIndex], Literal["te"]]
    | tuple[tuple[SupportsIndex, SupportsIndex], Literal["te"], tuple[SupportsIndex, SupportsIndex]]
)

class InternalFailure(BaseException):
    """A failure inside the extension (a broken internal invariant); derives from BaseException."""

@final
class FittedGam:
    """A fitted generalized additive model; created by `fit`, `fit_additive` or `deserialize`."""

    @property
    def beta(self) -> _F64Array: ...
    @property
    def rho(self) -> _F64Array:
        """Fitted log smoothing parameters, one per penalty."""
    # `lambda` (λ_j = exp(ρ_j) per penalty, a 1-D float64 array) is a keyword, so it cannot be
    # declared here; read it as getattr(fit, "lambda").
    def __getattr__(self, name: Literal["lambda"]) -> _F64Array: ...
    @property
    def edf_per_term(self) -> _F64Array:
        """Per-term effective degrees of freedom."""
    @property
    def scale(self) -> float: ...
    @property
    def edf_total(self) -> float: ...
    @property
    def n(self) -> int: ...
    @property
    def n_iters(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    @property
    def reml_value(self) -> float: ...
    @property
    def shape_params(self) -> _F64Array:
        """Family-specific fitted shape parameters (empty for families without any)."""
    def vcov(self) -> _F64Array:
        """Posterior covariance of β̂ — `σ̂² · A⁻¹`, shape (p, p)."""
    def term_col_ranges(self) -> list[tuple[int, int]]:
        """Per-term column ranges into the lpmatrix `[1 | C_1 | C_2 | …]`."""
    def evaluate_lpmatrix(self, x_new: _F64Array) -> _F64Array:
        """Rebuild the design matrix (lpmatrix) at new `x_new`, shape (n_new, p)."""
    def predict(self, x_new: _F64Array) -> _F64Array:
        """Predict η (linear predictor) on new x, shape (n_new,)."""
    def predict_response(self, x_new: _F64Array) -> _F64Array:
        """Predict μ (response scale) by inverse-linking η elementwise."""
    def predict_ci(
        self,
        x_new: _F64Array,
        level: _Real = 0.95,
        scale: Literal["link", "response"] = "response",
    ) -> tuple[_F64Array, _F64Array, _F64Array]:
        """Wald-style CI for predictions at `x_new`: (mean, lo, hi)."""
    def serialize(self) -> bytes:
        """Serialize the fit to a length-framed binary buffer."""
    @classmethod
    def deserialize(cls, bytes: bytes) -> FittedGam:
        """Classmethod: rebuild a FittedGam from the bytes produced by `serialize`."""
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def predict_diff(
        self, x_a: _F64Array, x_b: _F64Array, level: _Real = 0.95
    ) -> tuple[_F64Array, _F64Array, _F64Array]:
        """Wald CI for the contrast `predict(x_a) - predict(x_b)`: (diff, lo, hi)."""

def fit(
    family_name: str,
    x: _F64Array,
    y: _F64Array,
    weights: _F64Array | None = None,
    k: SupportsIndex = 10,
    design: Literal["cr", "re", "cr_stable"] = "cr",
    theta: _Real | None = None,
    nu: _Real | None = None,
    sigma2: _Real | None = None,
    tweedie_p: _Real | None = None,
    tweedie_phi: _Real | None = None,
    r: SupportsIndex | None = None,
    tau: _Real | None = None,
    elf_sigma: _Real | None = None,
    elf_lambda: _Real | None = None,
) -> FittedGam:
    """Fit a GAM with one smooth of the first column of `x`."""

def fit_additive(
    family_name: str,
    x: _F64Array,
    y: _F64Array,
    terms: list[_Term],
    weights: _F64Array | None = None,
) -> FittedGam:
    """Fit a multi-smooth additive model `y ~ s(x_{c_0}) + s(x_{c_1}) + ...`."""
