import numpy as np

from korva import PolynomialMDLRegressor

rng = np.random.default_rng(1)
X = rng.uniform(-3.0, 3.0, size=(400, 2))
y = 1.0 + X[:, 0] - 0.5 * X[:, 1] ** 2 + 0.2 * X[:, 0] * X[:, 1] + rng.normal(0.0, 0.05, 400)
y[:40] -= 10.0  # 10 % gross outliers

model = PolynomialMDLRegressor(degree=[1, 2]).fit(X, y)  # x1 up to 1, x2 up to 2, total up to 2
for exponents, coefficient in zip(model.multi_indices_, model.coef_):
    print(exponents, f"{coefficient:.3f}")  # exponents of (t1, t2), the inputs mapped to [-1, 1]
print(f"R² on the inliers: {model.score(X[model.inlier_mask_], y[model.inlier_mask_]):.4f}")
