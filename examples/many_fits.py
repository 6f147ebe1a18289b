import numpy as np
import pandas as pd

from korva import fit_groups


def sensor_log(n_sensors: int = 40, n_readings: int = 150) -> pd.DataFrame:
    """A day of temperature readings per sensor, 5 % of them the failure code 99.9."""
    rng = np.random.default_rng(2)
    sensor = np.repeat([f"s{number:02d}" for number in range(n_sensors)], n_readings)
    hour = rng.uniform(0.0, 24.0, sensor.size)
    drift = np.repeat(rng.normal(0.0, 0.1, n_sensors), n_readings)
    reading = 20.0 + drift * hour - 0.02 * (hour - 12.0) ** 2 + rng.normal(0.0, 0.05, sensor.size)
    reading[rng.random(sensor.size) < 0.05] = 99.9
    return pd.DataFrame({"sensor": sensor, "hour": hour, "reading": reading})


if __name__ == "__main__":  # the worker processes start afresh and import this file
    fits = fit_groups(sensor_log(), by="sensor", x="hour", y="reading", degree=2, n_jobs=2)
    print(fits[["sensor", "n_samples", "degree", "scale", "n_outliers", "error"]].head())
    print("residual scale of the noisiest sensor:", fits["scale"].max().round(3))
