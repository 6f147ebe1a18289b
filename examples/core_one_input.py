import numpy as np

import korva_core

rng = np.random.default_rng(0)
x = np.linspace(-1.0, 1.0, 300)
y = 1.0 - 2.0 * x + 0.5 * x**3 + rng.normal(0.0, 0.01, x.size)
y[::10] += 5.0  # every tenth point thrown far off

Phi = korva_core.design_matrix_1d(3, x)  # columns 1, x, x², x³
R1, R2 = korva_core.smoothness_penalty_matrices_1d(3, -1.0, 1.0)  # slope and curvature
gamma2 = 1e-6  # a light curvature penalty
least_squares = korva_core.fit_regularized_linear(Phi, y, R1, R2, gamma2=gamma2)
search = korva_core.TournamentMCMC(step_size=0.3, seed=7).fit(Phi, y, R1, R2, gamma2=gamma2)
for name, beta in (("least squares", least_squares), ("MDL search", search.beta_mcmc)):
    score = korva_core.mdl_score_reg(Phi @ beta, y, beta.size, 20, beta, R1, R2, gamma2=gamma2)
    print(f"{name:>13}: coefficients {np.round(beta, 3)}, MDL {score:.1f}")
