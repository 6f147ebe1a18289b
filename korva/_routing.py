"""scikit-learn's metadata routing for the estimator: which metadata ``fit`` asks for.

scikit-learn is imported only when one of these methods is called.
"""

from __future__ import annotations

import copy
import importlib
import inspect
from typing import Any, Self


def _metadata_routing(caller: str) -> Any:
    """scikit-learn's metadata routing module, imported when a routing method is first called."""
    try:
        return importlib.import_module("sklearn.utils.metadata_routing")
    except ImportError as exc:
        raise ImportError(
            f"{caller} is part of scikit-learn's metadata routing and needs scikit-learn: pip install scikit-learn"
        ) from exc


class MetadataRouting:
    """set_fit_request and get_metadata_routing, as scikit-learn's estimators have them."""

    def set_fit_request(self, **requests: bool | str | None) -> Self:
        """Whether ``fit`` asks for metadata under scikit-learn's metadata routing.

        Only meaningful with ``sklearn.set_config(enable_metadata_routing=True)``, where a
        pipeline or ``cross_validate`` passes ``sample_weight`` or ``sigma`` to this estimator only when it
        is requested here. scikit-learn must be installed.

        Parameters
        ----------
        **requests : bool, str or None
            One per parameter of ``fit`` besides X and y (``sample_weight``, ``sigma``): True to take it,
            False not to, None (the default) to raise when it is passed, a name to take the
            metadata of that name instead; ``sklearn.utils.metadata_routing.UNCHANGED``
            leaves the request as it was.

        Returns
        -------
        self : the estimator
        """
        routing = _metadata_routing("set_fit_request")
        if not importlib.import_module("sklearn").get_config()["enable_metadata_routing"]:
            raise RuntimeError(
                "set_fit_request is only available when metadata routing is enabled: "
                "sklearn.set_config(enable_metadata_routing=True)"
            )
        accepted = self._metadata_names("fit")
        unexpected = sorted(set(requests) - set(accepted))
        if unexpected:
            raise TypeError(f"Unexpected args: {unexpected} in fit. Accepted arguments are: {accepted}")
        # A copy takes the requests, checked as scikit-learn checks them (an alias must be an
        # identifier), and replaces the one kept only when every request is valid.
        request = copy.deepcopy(self._kept_request(routing))
        for name, alias in requests.items():
            if alias != routing.UNCHANGED:
                request.fit.add_request(param=name, alias=alias)
        # scikit-learn's clone carries this attribute over to the copies it fits.
        self._metadata_request = request
        return self

    def get_metadata_routing(self) -> Any:
        """The metadata that each method asks for, as a ``sklearn.utils.metadata_routing.MetadataRequest``
        (see ``set_fit_request``); scikit-learn must be installed."""
        return copy.deepcopy(self._kept_request(_metadata_routing("get_metadata_routing")))

    def _kept_request(self, routing: Any) -> Any:
        """The requests set so far, or a request that leaves every parameter unrequested (None)."""
        kept = getattr(self, "_metadata_request", None)
        if kept is not None:
            return kept
        request = routing.MetadataRequest(owner=type(self).__name__)
        for name in self._metadata_names("fit"):
            request.fit.add_request(param=name, alias=None)
        return request

    def _metadata_names(self, method: str) -> list[str]:
        """The parameters of a method that metadata can be routed to: all but X and y."""
        parameters = inspect.signature(getattr(self, method)).parameters
        return [name for name in parameters if name not in ("X", "y")]
