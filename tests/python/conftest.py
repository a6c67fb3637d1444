import sys

import pytest


@pytest.fixture
def without_enums(monkeypatch):
    """'ferromesh._enums' cannot be imported for the duration of the test."""
    monkeypatch.setitem(sys.modules, "ferromesh._enums", None)
