"""The one-argument callables accept their argument by position or keyword, and nothing else."""

import pytest

import ferromesh
from support import RP_ACK, RPM_ACK

CALLS = [
    pytest.param(ferromesh.decode_read_property, "data", RP_ACK, id="decode_read_property"),
    pytest.param(ferromesh.decode_read_property_multiple, "data", RPM_ACK, id="decode_read_property_multiple"),
    pytest.param(lambda *a, **k: ferromesh.Stack().process(*a, **k), "input", ferromesh.InputTick(0.0), id="process"),
]


@pytest.mark.parametrize("function, name, argument", CALLS)
def test_position_and_keyword_give_the_same_result(function, name, argument):
    assert repr(function(argument)) == repr(function(**{name: argument}))


@pytest.mark.parametrize("function, name, argument", CALLS)
@pytest.mark.parametrize(
    "arguments, keywords",
    [
        pytest.param((), {}, id="none"),
        pytest.param(("A", "A"), {}, id="two"),
        pytest.param((), {"bogus": "A"}, id="unknown-keyword"),
        pytest.param(("A",), {"NAME": "A"}, id="both-ways"),
        pytest.param((), {"NAME": "A", "bogus": "A"}, id="extra-keyword"),
    ],
)
def test_other_call_forms_raise_type_error(function, name, argument, arguments, keywords):
    arguments = tuple(argument if a == "A" else a for a in arguments)
    keywords = {(name if k == "NAME" else k): argument for k in keywords}
    with pytest.raises(TypeError):
        function(*arguments, **keywords)
