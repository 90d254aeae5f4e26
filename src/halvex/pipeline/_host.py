"""What a render asks of Python: the page templates through jinja2, and the vocabularies of
``halvex.diag_groups`` and ``halvex.feature_info``. The renderer's extension module calls
these; nothing here is public."""

from __future__ import annotations

import importlib
from typing import Any, Callable

import jinja2

# One environment per template folder for the life of the process: it keeps the compiled
# templates (the page script alone takes tens of milliseconds to compile) and compiles a
# template again when its file changes.
_environments: dict[str, jinja2.Environment] = {}


def _environment(folder: str) -> jinja2.Environment:
    env = _environments.get(folder)
    if env is None:
        # Compiled templates are also kept on disk (jinja2's per-user cache folder, checked for
        # its owner and mode), so a new process skips compiling too; without one it compiles.
        try:
            cache = jinja2.FileSystemBytecodeCache()
        except Exception:
            cache = None
        env = jinja2.Environment(loader=jinja2.FileSystemLoader(folder), bytecode_cache=cache)
        _environments[folder] = env
    return env


def render_template(folder: str, name: str, context: dict[str, Any]) -> str:
    page = _environment(folder).get_template(name).render(**context)
    if not isinstance(page, str):
        raise TypeError("the page template did not render to text")
    return page


def diag_groups_value(name: str) -> tuple[Any, ...]:
    """``(value,)`` of a name of halvex.diag_groups; ``()`` when the module or the name
    cannot be imported (the page then goes without that vocabulary)."""
    try:
        return (getattr(importlib.import_module("halvex.diag_groups"), name),)
    except (ImportError, AttributeError):
        return ()


def sql_admin_only() -> bool:
    flag = diag_groups_value("SQL_ADMIN_ONLY")
    return bool(flag[0]) if flag else False


def criterion_groups() -> Callable[[Any], Any]:
    """The group of a criterion code, from FI of halvex.feature_info asked in turn (kik,
    memzuc, rkd). FI is looked up at the first question; its absence, or an error in a
    question, counts as no group (None)."""
    fi: Any = None
    looked_up = False

    def group(code: Any) -> Any:
        nonlocal fi, looked_up
        if not looked_up:
            looked_up = True
            try:
                fi = importlib.import_module("halvex.feature_info").FI
            except Exception:
                fi = None
        if fi is None:
            return None
        try:
            for ask in ("grup_for_kik", "grup_for_memzuc", "grup_for_rkd"):
                found = getattr(fi, ask)(code)
                if found:
                    return found
        except Exception:
            return None
        return None

    return group
