"""Penalised generalised additive models with automatic smoothing selection."""

try:
    from ._vorsk_native import FittedGam, fit, fit_additive
except ModuleNotFoundError as exc:  # pragma: no cover - only without a build
    raise ImportError(
        "vorsk's compiled core (vorsk._vorsk_native) could not be imported; "
        "build and install the package with `pip install .` (see README.md)"
    ) from exc

__all__ = ["FittedGam", "fit", "fit_additive"]
__version__ = "0.1.0"
