"""
The robust stages of korva's fits: concentration of many starts, the biweight M-scale, the bisquare reweighting, weighted least squares, the moments of a bisquare fit's covariance and exact medians.
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['BisquareMoments', 'Concentration', 'MonomialDesign', 'ResidualBand', 'RowsWithin', 'bisquare_moments', 'bisquare_weights', 'concentrate_starts', 'elemental_starts', 'm_scale', 'median', 'median_abs_deviation', 'residual_band', 'reweight', 'rows_within', 'weighted_least_squares', 'weighted_median']
class BisquareMoments:
    """
    What bisquare_moments returns: the matrix and the sums over the rows (with case weights c) of a bisquare fit at a fixed scale.
    """
    @property
    def gram(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
        """
        X^T diag(c w) X, or with slopes X^T diag(c psi') X (k x k, both triangles)
        """
    @property
    def in_use(self) -> float:
        """
        sum c over the rows with w > 0
        """
    @property
    def psi_square(self) -> float:
        """
        sum c psi^2
        """
    @property
    def slope(self) -> float:
        """
        sum c psi'
        """
    @property
    def slope_square(self) -> float:
        """
        sum c psi'^2
        """
    @property
    def total(self) -> float:
        """
        sum c
        """
    @property
    def weight(self) -> float:
        """
        sum c w
        """
class Concentration:
    """
    What concentrate_starts returns, one row per start.
    """
    @property
    def betas(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
        """
        (starts, k): the coefficients each start ends at
        """
    @property
    def kept(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"]:
        """
        (starts, rows) with kept_rows, else empty: the weight each row keeps at the end
        """
    @property
    def trimmed(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        (starts,): the weighted sum of the squared residuals of the rows each start keeps
        """
class RowsWithin:
    """
    What rows_within returns: the rows within the cut-off.
    """
    @property
    def count(self) -> int:
        """
        how many rows lie within
        """
    @property
    def sample(self) -> typing.Annotated[numpy.typing.NDArray[numpy.int64], "[m, 1]"]:
        """
        every step-th of them from the first, step = ceil(count / max_rows), as row indices
        """
    @property
    def weight(self) -> float:
        """
        their total case weight (the count without case weights)
        """
class ResidualBand:
    """
    What residual_band returns: the residuals about the band.
    """
    @property
    def between(self) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
        """
        abs(residuals) of the rows within the band, in order
        """
    @property
    def between_weights(self) -> typing.Any:
        """
        their case weights, None without case_weights
        """
    @property
    def inner_squares(self) -> float:
        """
        their weighted sum of squares
        """
    @property
    def inner_weight(self) -> float:
        """
        the total case weight of the rows with abs(residuals) <= inner (their count without case weights)
        """
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
def bisquare_moments(design: MonomialDesign, residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, slopes: bool = False) -> BisquareMoments:
    """
    The Gram matrix X^T diag(c w) X and the sums over the rows (with case weights c) that the covariance of a bisquare fit at a fixed scale needs, as a BisquareMoments: total (c), in_use (c where w > 0), slope (c psi'), slope_square (c psi'^2), weight (c w) and psi_square (c psi^2), with z = residuals / scale, s = min((z / tuning)^2, 1), w = (1 - s)^2, psi' = (1 - s)(1 - 5 s), psi = z w; an infinite tuning gives least squares. With slopes, the matrix is X^T diag(c psi') X instead: the slope matrix of the fit's equations. The design is a 2-D array or a MonomialDesign.
    """
@typing.overload
def bisquare_moments(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, slopes: bool = False) -> BisquareMoments:
    ...
def bisquare_weights(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """
    Tukey's bisquare weights (1 - u^2)^2 with u = min(abs(residuals / scale) / tuning, 1), times the case weights where given: the same doubles as that arithmetic in NumPy, element by element (an infinite residual weighs 0). Raises ValueError for NaN residuals, a scale or tuning not a finite number above 0, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
def concentrate_starts(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], starts: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], keep: typing.SupportsFloat | typing.SupportsIndex, weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, penalty: numpy.typing.ArrayLike | None = None, *, max_steps: typing.SupportsInt | typing.SupportsIndex, ridge: typing.SupportsFloat | typing.SupportsIndex, kept_rows: bool = False) -> Concentration:
    """
    Concentration steps from every start: least squares on the rows nearest the fit, the nearest up to the weight keep (ties at the last distance by row number), with the penalty weighed by the rows' weight and a ridge relative to the mean diagonal of the normal equations, until the rows kept repeat or after max_steps solutions.
    """
def elemental_starts(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], keep: typing.SupportsFloat | typing.SupportsIndex, subsets: numpy.typing.NDArray[numpy.integer[typing.Any]] | None = None, weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, penalty: numpy.typing.ArrayLike | None = None, *, every_subset: bool = False, max_steps: typing.SupportsInt | typing.SupportsIndex, ridge: typing.SupportsFloat | typing.SupportsIndex, finalists: typing.SupportsInt | typing.SupportsIndex) -> tuple[typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, n]"], int]:
    """
    The elemental starts of a robust fit: for each subset of k rows (k = the design's columns), a row of subsets (an (m, k) array of distinct row indices) or, with every_subset, each k-subset of the rows in the order of itertools.combinations, the exact fit through those rows (their normal equations plus k times the penalty and the ridge relative to their mean diagonal; the zero start when they are singular), concentrated as concentrate_starts does. Returns the coefficients of the finalists best of them by trimmed sum of squares, one for each distinct result (bit for bit), best first (ties in subset order), as a (finalists found, k) array, and the number of subsets tried. Raises ValueError for subsets given with every_subset or neither, indices out of range or repeated in a row, finalists below 1, or what concentrate_starts refuses, and TypeError for subsets not an array of integers.
    """
def m_scale(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], guess: typing.SupportsFloat | typing.SupportsIndex = 0.0, weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, n_terms: typing.SupportsInt | typing.SupportsIndex = 0, *, tuning: typing.SupportsFloat | typing.SupportsIndex, breakdown: typing.SupportsFloat | typing.SupportsIndex) -> float:
    ...
def median(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> float:
    """
    The median of values: the middle value, or halfway between the two middle ones, low + (high - low) / 2 (low / 2 + high / 2 where high - low is not finite). NaN ranks after every number, as in numpy.sort. Reads the values once (twice when a sample of them misjudges where the middle lies); raises ValueError when values is empty.
    """
def median_abs_deviation(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], center: typing.SupportsFloat | typing.SupportsIndex) -> float:
    """
    The median of abs(values - center), taken as median takes it, without forming the deviations; NaN when a deviation is NaN or infinite. Raises ValueError when values is empty.
    """
def residual_band(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], inner: typing.SupportsFloat | typing.SupportsIndex, outer: typing.SupportsFloat | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> ResidualBand:
    """
    The residuals about the band (inner, outer] of sizes, as a ResidualBand: the total case weight of the rows with abs(residuals) <= inner and their weighted sum of squares, then abs(residuals) of the rows within the band, in order, and their case weights (None without case_weights). Without case_weights every row weighs 1. Raises ValueError for NaN residuals, inner negative or not finite, outer below inner, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
@typing.overload
def reweight(design: MonomialDesign, target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], beta: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, sample_weight: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, *, max_steps: typing.SupportsInt | typing.SupportsIndex, tolerance: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, ridge: typing.SupportsFloat | typing.SupportsIndex, newton: bool = False, refine: bool = False, matrix: numpy.typing.ArrayLike | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """
    The bisquare reweighting of design (a 2-D array or a MonomialDesign) and target from beta at a fixed scale (see korva.robust.reweight).
    """
@typing.overload
def reweight(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], beta: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, sample_weight: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None, *, max_steps: typing.SupportsInt | typing.SupportsIndex, tolerance: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, ridge: typing.SupportsFloat | typing.SupportsIndex, newton: bool = False, refine: bool = False, matrix: numpy.typing.ArrayLike | None = None) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    ...
def rows_within(residuals: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], scale: typing.SupportsFloat | typing.SupportsIndex, tuning: typing.SupportsFloat | typing.SupportsIndex, max_rows: typing.SupportsInt | typing.SupportsIndex, case_weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"] | None = None) -> RowsWithin:
    """
    The rows whose residual lies within tuning scales, abs(residuals / scale) < tuning (every row when scale is 0), as a RowsWithin: their count, their total case weight (the count without case_weights) and every step-th of them from the first, step = ceil(count / max_rows), as an index array of at most max_rows rows. Raises ValueError for NaN residuals, a negative or non-finite scale, tuning not above 0, max_rows below 1, or case weights that are negative, not finite, of an overflowing sum or of a different length.
    """
def weighted_least_squares(design: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, n]"], target: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], R1: numpy.typing.ArrayLike | None = None, R2: numpy.typing.ArrayLike | None = None, gamma1: typing.SupportsFloat | typing.SupportsIndex = 0.0, gamma2: typing.SupportsFloat | typing.SupportsIndex = 0.0, *, ridge: typing.SupportsFloat | typing.SupportsIndex) -> typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]:
    """
    The solution of (X^T W X + ridge I + sum(w) (gamma1 R1 + gamma2 R2)) beta = X^T W y, W = diag(weights), in one pass over the rows.
    """
def weighted_median(values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"], weights: typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]) -> float:
    """
    The median of values with each counted weights times: the smallest value at which the cumulative weight in ascending order reaches half the total, or, when it meets half exactly there, halfway between it and the next value that adds weight, as median takes halfway. NaN ranks after every number. Selection, not a sort: expected time linear in the number of values. Raises ValueError when values is empty, for weights of another length, negative, NaN or infinite, or whose sum overflows or is 0.
    """
