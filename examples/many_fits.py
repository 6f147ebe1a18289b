import numpy as np
import pandas as pd

from korva import fit_groups, predict_groups


def sensor_log(n_sensors: int = 40, n_readings: int = 150) -> pd.DataFrame:
    """A day of temperature readings per sensor, 5 % of them the failure code 99.9."""
    rng = np.random.default_rng(2)
    sensor = np.repeat([f"s{number:02d}" for number in range(n_sensors)], n_readings)
    hour = rng.uniform(0.0, 24.0, sensor.size)
    drift = np.repeat(rng.normal(0.0, 0.1, n_sensors), n_readings)
    reading = 20.0 + drift * hour - 0.02 * (hour - 12.0) ** 2 + rng.normal(0.0, 0.05, sensor.size)
    reading[rng.random(sensor.size) < 0.05] = 99.9
    return pd.DataFrame({"sensor": sensor, "hour": hour, "reading": reading})


if __name__ == "__main__":
    log = sensor_log()
    fits, rows = fit_groups(log, by="sensor", x="hour", y="reading", degree=2, n_jobs=2, rows=True)
    print(fits[["sensor", "n_samples", "degree", "scale", "n_outliers", "error"]].head())
    print("residual scale of the noisiest sensor:", fits["scale"].max().round(3))
    # Every failure code is an outlier of its sensor's curve; "index" finds a row in the log.
    failures = rows[rows["reading"] == 99.9]
    print("failure codes flagged as outliers:", (~failures["inlier"]).mean())
    print("first flagged reading:", log.loc[failures["index"].iloc[0]].to_dict())
    # Each sensor's curve at noon, from the table alone.
    noon = pd.DataFrame({"sensor": fits["sensor"], "hour": 12.0})
    print(predict_groups(fits, noon, by="sensor", x="hour").head(3))
