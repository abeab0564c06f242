"""Filter values turned into tests over a column: a value (equality), a list,
tuple, set, ``range`` or numpy array of values, a ``slice`` (ends included;
a step is ignored with a warning, as pdbufr does) or a callable."""

from __future__ import annotations

import difflib
import math
import warnings
from typing import Any, Callable, Dict, Iterable, List

import numpy as np

Test = Callable[[np.ndarray, np.ndarray], np.ndarray]


def condition(rule: Any) -> Test:
    """A test over (values, present) arrays for one filter."""
    if isinstance(rule, slice):
        if rule.step is not None:
            warnings.warn("filters: the step of slice %r is ignored" % (rule,), UserWarning, stacklevel=5)
        low, high = rule.start, rule.stop

        def test(v, present):
            ok = present.copy()
            with np.errstate(invalid="ignore"):
                for bound, cmp in ((low, np.greater_equal), (high, np.less_equal)):
                    if bound is not None:
                        ok &= _vectorised(v, lambda a, b=bound, c=cmp: c(a, b))
            return ok

        return test
    if callable(rule):

        def test(v, present):
            return present & _per_value(v, lambda x: bool(rule(x)))

        return test
    if isinstance(rule, np.ndarray):
        rule = rule.tolist()
    if isinstance(rule, range):
        span = rule

        def test(v, present):
            if v.dtype.kind != "f":
                return present & _per_value(v, lambda x: x in span)
            with np.errstate(invalid="ignore"):
                inside = (v >= span.start) & (v < span.stop) if span.step > 0 else (v <= span.start) & (v > span.stop)
                return present & inside & (np.mod(v - span.start, span.step) == 0)

        return test
    if isinstance(rule, (list, tuple, set, frozenset)):
        wanted: Any = list(rule)
        numbers = all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in wanted)

        def test(v, present):
            if numbers and v.dtype.kind == "f":
                return present & np.isin(v, np.array(wanted, dtype=np.float64))
            return present & _per_value(v, lambda x: x in wanted)

        return test

    def test(v, present):
        return present & _vectorised(v, lambda a: a == rule)

    return test


def _vectorised(v: np.ndarray, fn: Callable[[np.ndarray], Any]) -> np.ndarray:
    if v.dtype.kind == "f":
        out = np.asarray(fn(v), dtype=bool)
        return out & ~np.isnan(v)
    return _per_value(v, fn)


def _per_value(v: np.ndarray, fn: Callable[[Any], bool]) -> np.ndarray:
    """`fn` applied once per distinct value present (missing values fail)."""
    if len(v) == 0:
        return np.zeros(0, dtype=bool)
    if v.dtype.kind == "f":
        uniq, inverse = np.unique(v, return_inverse=True)
        results = np.array([(not math.isnan(x)) and bool(fn(float(x))) for x in uniq.tolist()], dtype=bool)
        return results[inverse.reshape(-1)]
    if v.dtype.kind == "M":
        import pandas as pd

        return np.array([not np.isnat(x) and bool(fn(pd.Timestamp(x))) for x in v], dtype=bool)
    seen: Dict[Any, bool] = {}
    out = np.empty(len(v), dtype=bool)
    for i, x in enumerate(v.tolist()):
        if x is None or (isinstance(x, float) and math.isnan(x)):
            out[i] = False
            continue
        r = seen.get(x)
        if r is None:
            r = seen[x] = bool(fn(x))
        out[i] = r
    return out


def missing(v: np.ndarray) -> np.ndarray:
    """Where a column's values are missing (NaN, NaT or None)."""
    if v.dtype.kind == "f":
        return np.isnan(v)
    if v.dtype.kind == "M":
        return np.isnat(v)
    return np.array([x is None for x in v.tolist()], dtype=bool)


def unknown_keys(unknown: List[str], known: Iterable[str], prefix: str = "") -> KeyError:
    """The KeyError for keys asked for that no message read holds, naming
    the closest of the `known` keys for each."""
    known = list(known)
    words = []
    for key in unknown:
        close = difflib.get_close_matches(key, known, n=3, cutoff=0.6)
        words.append("%r (closest keys: %s)" % (key, ", ".join(close)) if close else repr(key))
    return KeyError("%sno message read holds the key%s %s" % (prefix, "s" if len(unknown) > 1 else "", "; ".join(words)))
