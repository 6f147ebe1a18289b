import numpy as np

from korva import PolynomialMDLRegressor, plot_diagnostics

rng = np.random.default_rng(0)
x = np.linspace(0.0, 10.0, 200)
y = 0.02 * x**3 - 0.3 * x**2 + x + rng.normal(0.0, 0.05, x.size)  # = 2.5 t³ - 2.5 t, t = x/5 - 1
y[rng.choice(x.size, 20, replace=False)] += rng.uniform(3.0, 8.0, 20)  # 10 % gross outliers

model = PolynomialMDLRegressor(degree="auto", gamma2=1e-5).fit(x, y)  # a light curvature penalty
print(f"degree {model.degree_}; coefficients of 1, t, t², ...:", model.coef_.round(3))
print(f"residual scale {model.scale_:.4f}, {(~model.inlier_mask_).sum()} outliers flagged")
print("prediction at x = 5:", model.predict([5.0]))
slope = model.polynomial_.coef[1]  # the polynomial in x: its coefficient of x, as coef_x_[1]
low, high = model.conf_int(units="x")[1]  # row 1 of the intervals in x: the term in x
print(f"slope at x = 0: {slope:.3f}, 95 % interval {low:.3f} to {high:.3f} (true: 1)")
print(model.summary())  # what was fitted and how, the flagged rows, R², the coefficients in x and t
try:  # the outlier map and three more panels (matplotlib: pip install 'korva[plot]')
    plot_diagnostics(model, x, y)[0].figure.savefig("diagnostics.png")
except ImportError:
    pass
