"""The optional dependencies, imported when first needed, with the extra
that installs each named when it is missing."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require"]


def require(module: str, extra: str, what: str) -> ModuleType:
    """`module`, imported; an ImportError in one line naming the extra to
    install when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError("%s needs %s, which is not installed: pip install 'corvena[%s]'"
                          % (what, module.split(".")[0], extra)) from None
