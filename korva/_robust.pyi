"""
The robust stages of korva's fits: concentration of many starts, the biweight M-scale, the bisquare reweighting, weighted least squares, the moments of a bisquare fit's covariance and exact medians.
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['MonomialDesign', 'bisquare_moments', 'bisquare_weights', 'concentrate_starts', 'm_scale', 'median', 'median_abs_deviation', 'residual_band', 'reweight', 'rows_within', 'weighted_least_squares', 'weighted_median']
class MonomialDesign:
    """
    The design matrix whose column j is the product over d of columns[d] ** exponents[j][d], formed a few rows at a time where reweight, bisquare_moments and the product with coefficients read it, never stored: the same doubles as the stored design of the basis, korva_core.design_matrix_1d(deg, columns[0]) for the exponents 0, 1, ..., deg of one column, else korva_core.design_matrix_nd(exponents, columns). The columns are read in place and must keep their values: of several inputs, the powers formed from them are kept.
    """
    def __getitem__(self, rows: numpy.typing.NDArray[numpy.integer[typing.Any]]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
        """
        The rows at the indices given (each from 0 to the number of rows - 1), as a 2-D array.
        """
    def __init__(self, columns: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]], exponents: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]]) -> None:
        ...
    def __matmul__(self, beta: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        The design times beta: each row's sum in the order of reweight's own fitted values.
        """
    @property
    def shape(self) -> tuple[int, int]:
        """
        (rows, columns)
        """
@typing.overload
def bisquare_moments(design: MonomialDesign, residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, slopes: bool = False) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], dict[str, float]]:
    """
    The Gram matrix X^T diag(c w) X and the sums over the rows (with case weights c) that the covariance of a bisquare fit at a fixed scale needs: total (c), in_use (c where w > 0), slope (c psi'), slope_square (c psi'^2), weight (c w) and psi_square (c psi^2), with z = residuals / scale, s = min((z / tuning)^2, 1), w = (1 - s)^2, psi' = (1 - s)(1 - 5 s), psi = z w; an infinite tuning gives least squares. With slopes, the matrix is X^T diag(c psi') X instead: the slope matrix of the fit's equations. The design is a 2-D array or a MonomialDesign.
    """
@typing.overload
def bisquare_moments(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, slopes: bool = False) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], dict[str, float]]:
    ...
def bisquare_weights(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """
    Tukey's bisquare weights (1 - u^2)^2 with u = min(abs(residuals / scale) / tuning, 1), times the case weights where given: the same doubles as that arithmetic in NumPy, element by element (an infinite residual weighs 0). Raises ValueError for NaN residuals, a scale or tuning not a finite number above 0, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
def concentrate_starts(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], starts: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], keep: typing.SupportsFloat | typing.SupportsIndex, weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, penalty: numpy.typing.ArrayLike | None = None, max_steps: typing.SupportsInt | typing.SupportsIndex = 20, kept_rows: bool = False) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]]:
    ...
def m_scale(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], guess: typing.SupportsFloat | typing.SupportsIndex = 0.0, weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, n_terms: typing.SupportsInt | typing.SupportsIndex = 0) -> float:
    ...
def median(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> float:
    """
    The median of values: the middle value, or halfway between the two middle ones, low + (high - low) / 2 (low / 2 + high / 2 where high - low is not finite). NaN ranks after every number, as in numpy.sort. Reads the values once (twice when a sample of them misjudges where the middle lies); raises ValueError when values is empty.
    """
def median_abs_deviation(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], center: typing.SupportsFloat | typing.SupportsIndex) -> float:
    """
    The median of abs(values - center), taken as median takes it, without forming the deviations; NaN when a deviation is NaN or infinite. Raises ValueError when values is empty.
    """
def residual_band(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], inner: typing.SupportsFloat | typing.SupportsIndex, outer: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> tuple[float, float, typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"], typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"] | None]:
    """
    The residuals about the band (inner, outer] of sizes: the total case weight of the rows with abs(residuals) <= inner and their weighted sum of squares, then abs(residuals) of the rows within the band, in order, and their case weights (None without case_weights). Without case_weights every row weighs 1. Raises ValueError for NaN residuals, inner negative or not finite, outer below inner, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
@typing.overload
def reweight(design: MonomialDesign, target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], beta: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, sample_weight: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, max_steps: typing.SupportsInt | typing.SupportsIndex = 50, tolerance: typing.SupportsFloat | typing.SupportsIndex = 1e-07, tuning: typing.SupportsFloat | typing.SupportsIndex = 4.6850649, newton: bool = False, refine: bool = False, matrix: numpy.typing.ArrayLike | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """
    The bisquare reweighting of design (a 2-D array or a MonomialDesign) and target from beta at a fixed scale (see korva.robust.reweight).
    """
@typing.overload
def reweight(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], beta: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, sample_weight: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, max_steps: typing.SupportsInt | typing.SupportsIndex = 50, tolerance: typing.SupportsFloat | typing.SupportsIndex = 1e-07, tuning: typing.SupportsFloat | typing.SupportsIndex = 4.6850649, newton: bool = False, refine: bool = False, matrix: numpy.typing.ArrayLike | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    ...
def rows_within(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, max_rows: typing.SupportsInt | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> tuple[int, float, typing.Annotated[numpy.typing.NDArray[numpy.int64], "[m, 1]"]]:
    """
    The rows whose residual lies within tuning scales, abs(residuals / scale) < tuning (every row when scale is 0): their count, their total case weight (the count without case_weights) and every step-th of them from the first, step = ceil(count / max_rows), as an index array of at most max_rows rows. Raises ValueError for NaN residuals, a negative or non-finite scale, tuning not above 0, max_rows below 1, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
def weighted_least_squares(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    ...
def weighted_median(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> float:
    """
    The median of values with each counted weights times: the smallest value at which the cumulative weight in ascending order reaches half the total, or, when it meets half exactly there, halfway between it and the next value that adds weight, as median takes halfway. NaN ranks after every number. Selection, not a sort: expected time linear in the number of values. Raises ValueError when values is empty, for weights of another length, negative, NaN or infinite, or whose sum overflows or is 0.
    """
