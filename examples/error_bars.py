import numpy as np

from korva import PolynomialMDLRegressor

# A calibration line whose readings carry error bars from 0.02 to 0.2, two of them misread.
rng = np.random.default_rng(3)
concentration = np.linspace(0.0, 5.0, 40)
sigma = 0.02 * 10.0 ** rng.uniform(0.0, 1.0, concentration.size)  # each reading's standard deviation
signal = 0.1 + 0.8 * concentration + sigma * rng.normal(size=concentration.size)
signal[[7, 30]] += 0.5  # two misread points

model = PolynomialMDLRegressor(degree=1, absolute_sigma=True).fit(concentration, signal, sigma=sigma)
slope = model.polynomial_.coef[1]  # the fitted line in x: its coefficient of x
low, high = model.conf_int(units="x")[1]
print(f"slope {slope:.4f}, 95 % interval {low:.4f} to {high:.4f} (true: 0.8)")
print("flagged readings:", np.flatnonzero(~model.inlier_mask_))  # beyond 2.5 of their own sigmas
print(f"residuals spread by {model.scale_:.2f} times the stated errors")
# A new reading at 2.5 with an error bar of 0.05: where it should fall.
lower, upper = model.predict_interval([2.5], kind="prediction", sigma=[0.05])
print(f"a new reading at 2.5: {lower[0]:.3f} to {upper[0]:.3f}")
