from importlib import resources

import pandas as pd

from korva import PolynomialMDLRegressor, plot_diagnostics

# Stack loss: 21 days of a plant oxidising ammonia, the classic case of leverage points.
with resources.as_file(resources.files("korva") / "data" / "stackloss.csv") as path:
    plant = pd.read_csv(path)
plant.index = pd.RangeIndex(1, len(plant) + 1, name="day")  # rows named by day, as in the literature
X, y = plant[["air_flow", "water_temp", "acid_conc"]], plant["stack_loss"]

model = PolynomialMDLRegressor(degree=1, basis="total", random_state=0).fit(X, y)
print(model.summary())

table = model.diagnostics(X, y).to_frame()  # one row per day
print(table[table["kind"] != "regular"].round(2))  # the outliers and leverage points

try:
    axes = plot_diagnostics(model, X, y)  # the outlier map and three more panels
    axes[0].figure.savefig("stackloss_diagnostics.png")
except ImportError:  # matplotlib is the optional extra korva[plot]
    pass
