"""The summary of a fitted PolynomialMDLRegressor: what was fitted and how, in words and numbers,
and its coefficient tables (korva.summary holds the tables and their report)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from korva import inference, losses
from korva.summary import (
    FLAGGED_ROWS_LISTED,
    CoefficientTable,
    InputMapping,
    Summary,
    coefficient_digits,
    input_names,
)

if TYPE_CHECKING:
    from korva.estimator import PolynomialMDLRegressor


def summary_of(model: PolynomialMDLRegressor, alpha: float) -> Summary:
    """The summary of a fitted ``model`` with intervals of coverage 1 - ``alpha``."""
    import korva

    # The parameters the fit was made with: set_params since then changes the next fit alone.
    fitted = model._fitted_params_
    method = fitted["method"]
    fitted_names = getattr(model, "feature_names_in_", None)
    names = list(fitted_names) if fitted_names is not None else input_names(model.n_features_in_)
    variables = input_names(model.n_features_in_, "t") if fitted_names is None else [f"t_{n}" for n in names]
    precision = _curve_precision(model)
    tables = []
    if model.coef_x_ is not None and model.bse_x_ is not None:
        reach = inference.rounding_in_x(model.multi_indices_, model.coef_x_, model.x_min_, model.x_max_)
        digits = coefficient_digits(reach / np.finfo(np.float64).eps, precision)
        table_x = (names, model.multi_indices_, model.coef_x_, model.bse_x_, model.df_resid_, alpha, digits)
        tables.append(CoefficientTable("x", *table_x))
    digits = coefficient_digits(float(np.abs(model.coef_).sum()), precision)
    tables.append(
        CoefficientTable("t", variables, model.multi_indices_, model.coef_, model.bse_, model.df_resid_, alpha, digits)
    )
    notes = [f"FitWarning: {message}" for message in model.fit_warnings_]
    if model.coef_x_ is None:
        notes.append("No table in x: the listed basis lacks terms that the change from t to x needs.")
    flagged = np.flatnonzero(~model.inlier_mask_)
    labels = getattr(model, "_flagged_labels_", None)
    robust_stages = method == "mcmc" and fitted["refit"]
    known = model._fitted_with_sigma and fitted["absolute_sigma"]
    return Summary(
        tables,
        notes,
        response=getattr(model, "target_name_", None),
        inputs=[
            InputMapping(str(name), variable, float(low), float(high))
            for name, variable, low, high in zip(names, variables, model.x_min_, model.x_max_)
        ],
        method=method,
        estimator=_ESTIMATORS[method if method != "mcmc" or robust_stages else "search"],
        loss=_LOSSES[method if method != "mcmc" or robust_stages else "search"],
        tuning=losses.MM_TUNING if robust_stages else None,
        efficiency=losses.normal_efficiency(losses.MM_TUNING) if robust_stages else _LEAST_SQUARES[method],
        breakdown=losses.SCALE_BREAKDOWN if robust_stages else (0.0 if method != "mcmc" else None),
        degree=_degree_text(model),
        random_state=fitted["random_state"],
        seed=getattr(model, "_seed_", None),
        version=korva.__version__,
        n_samples=int(model.inlier_mask_.size),
        n_used=int(getattr(model, "_rows_used_", model.inlier_mask_.size)),
        n_flagged=int(flagged.size),
        outlier_threshold=float(fitted["outlier_threshold"]),
        flagged_rows=list(flagged[:FLAGGED_ROWS_LISTED].tolist() if labels is None else labels),
        row_labels="positions from 0" if labels is None else "index labels of X",
        scale=model.scale_,
        noise_scale=model.noise_scale_,
        scale_units="in units of its sigma" if model._fitted_with_sigma else "",
        df_resid=model.df_resid_,
        df_method=_df_text(model, known),
        covariance=_covariance_text(method, fitted.get("cov_type", "model"), known),
        errors=(
            None
            if not model._fitted_with_sigma
            else "sigma given for each sample, "
            + ("known (absolute_sigma=True): normal quantiles" if known else "relative: one factor estimated")
        ),
        penalties=(
            f"gamma1 = {fitted['gamma1']:g}, gamma2 = {fitted['gamma2']:g}: intervals of the penalised fit"
            if fitted["gamma1"] or fitted["gamma2"]
            else None
        ),
        converged=getattr(model, "converged_", None),
        condition_number=getattr(model, "condition_number_", None),
        r2=getattr(model, "r2_", None),
        r2_adjusted=getattr(model, "r2_adjusted_", None),
    )


def _curve_precision(model: PolynomialMDLRegressor) -> float:
    """The standard error of the fitted curve at the middle of the training range (that of
    the constant term in t), or without a constant term the smallest of a coefficient's in t."""
    constant = [p for p, m in enumerate(model.multi_indices_) if not any(m)]
    if constant:
        return float(model.bse_[constant[0]])
    errors = model.bse_[np.isfinite(model.bse_) & (model.bse_ > 0.0)]
    return float(errors.min()) if errors.size else math.nan


def _degree_text(model: PolynomialMDLRegressor) -> str:
    if isinstance(model._fitted_params_["degree"], str) and model._fitted_params_["degree"] == "auto":
        tried = ", ".join(str(d) for d in model.mdl_path_)
        return f'{model.degree_}, chosen by description length among {tried} (degree="auto")'
    return f"{model.degree_} (fixed)"


def _df_text(model: PolynomialMDLRegressor, known: bool) -> str:
    if known:
        return "none lost, the errors taken as known (absolute_sigma=True): normal quantiles"
    if model.df_resid_ == 0.0:
        return "none: no more samples than terms"
    if model._fitted_params_["method"] == "mcmc":
        return "Satterthwaite's, from the spread of the bisquare covariance's own estimate"
    return "the samples less the terms, n - k, of least squares"


# How each method estimates the coefficients, in words, its loss, and the efficiency of least
# squares at normal errors; "search" is the robust method without its final stages (refit=False).
_ESTIMATORS = {
    "mcmc": "MDL search (a tournament MCMC sampler), then concentration steps from it and from "
    "elemental starts, an S-estimate and a bisquare MM fit at its scale",
    "search": "MDL search (a tournament MCMC sampler) alone (refit=False)",
    "penalized": "penalised least squares",
    "ols": "ordinary least squares",
}
_LOSSES = {
    "mcmc": "Tukey's bisquare",
    "search": "the description length of the hit rate",
    "penalized": "squares plus the slope and curvature penalties",
    "ols": "squares",
}
_LEAST_SQUARES = {"ols": 1.0, "penalized": None, "mcmc": None}


def _covariance_text(method: str, cov_type: str, known: bool) -> str:
    if cov_type == "hc":
        return "cov_type='hc': each sample's own spread (the HC3 sandwich)"
    if known:
        return "cov_type='model': the bisquare fit's sandwich at the errors' known scale"
    if method == "mcmc":
        return "cov_type='model': the sandwich of the bisquare fit's equations at its fixed scale, Huber's form"
    if method == "penalized":
        return "cov_type='model': s^2 sandwich of the penalised estimator, about its own mean"
    return "cov_type='model': s^2 (X'X)^-1 of least squares"
