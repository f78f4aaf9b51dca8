"""The code-generation form, driven the way the notebook front end drives it."""
import gc
import weakref

import ipywidgets
import pytest

from quillon.velto_gpt_sdk import promptbook
from conftest import docstring, form_handlers
from _notebook import BELOW, TAIL, nb, script_parts, shown, wire  # noqa: F401

HEADER = "Given below are the modules and the variables that I have used:\n"
CODE = "Write python code for: "
DEBUG = "Debug the below given error and tell me how I can resolve it: \n"
PLACEHOLDER = "Type your code generation query here"


class Form:
    def __init__(self, nb, shown, *args):
        before = len(shown)
        assert nb.generate_code(*args) is None
        assert len(shown) == before + 1
        self.box = shown[-1]
        self.drop, self.html, self.text, self.button = self.box.children

    def handlers(self):
        return list(form_handlers(self.box).values())

    def submit(self, text=None):
        if text is not None:
            self.text.value = text
        self.button.click()


@pytest.fixture
def form(nb, shown):
    return Form(nb, shown, {"n": 1, "my_x": 2})


def test_layout(nb, form):
    assert type(form.box) is ipywidgets.VBox
    assert [type(w) for w in form.box.children] == [
        ipywidgets.Dropdown, ipywidgets.HTML, ipywidgets.Textarea, ipywidgets.Button]
    assert form.drop.options == ("Select the prompt", "Debug Code", *promptbook.prompts_list)
    assert (form.drop.value, form.drop.description) == ("Select the prompt", "Select Prompt:")
    assert form.html.value == "<strong>OR</strong>"
    assert (form.text.value, form.text.placeholder, form.text.description, form.text.rows) == (
        "", PLACEHOLDER, "Query:", 3)
    assert form.button.description == "Submit"


def test_selection_updates_text_area(form, wire):
    form.text.value = "my own words"
    form.drop.value = "Read a csv"
    assert form.text.value == promptbook.prompts_list["Read a csv"]
    assert form.text.placeholder == PLACEHOLDER + "."
    form.drop.value = "Debug Code"
    assert form.text.value == promptbook.prompts_list["Read a csv"]
    assert form.text.placeholder == "Enter your error response here."
    form.text.value = "edited"
    form.drop.value = "Select the prompt"
    assert (form.text.value, form.text.placeholder) == ("edited", PLACEHOLDER + ".")
    form.drop.value = "Pivot table and aggregate"
    assert form.text.value == promptbook.prompts_list["Pivot table and aggregate"]
    assert wire.count == 0


def test_submit_generates_code_below(nb, form, wire, shown, capsys):
    wire.answer("df.head()")
    form.drop.value = "Display Top 5 records"
    form.submit()
    form.submit("")
    described = (HEADER + "Modules: \n\nVariables: \nname: n, type: <class 'int'>\n\n"
                 "Use them as context and " + CODE + ": ")
    assert wire.queries == [described + "Display top 5 records in the data frame.", described]
    assert [script_parts(nb, obj) for obj in shown[1:]] == [(BELOW, "df.head()", TAIL)] * 2
    assert capsys.readouterr().out == ""
    assert form.text.value == "" and not form.button.disabled


def test_submit_shows_that_it_works_and_ignores_clicks_meanwhile(nb, form, wire, shown, monkeypatch):
    seen = []

    def engine(**kwargs):
        seen.append((form.button.disabled, form.button.description, form.button.icon, kwargs["query"]))
        form.button.click()                      # a click while it works sends nothing
        form.handlers()[0](form.button)          # nor does the handler called directly

    monkeypatch.setattr(nb, "generate_code_completion", engine)
    form.submit("first")
    assert seen == [(True, "Working\u2026", "spinner spin", "first")]
    assert (form.button.disabled, form.button.description, form.button.icon) == (False, "Submit", "")
    form.submit("second")
    assert [s[3] for s in seen] == ["first", "second"]


def refuse_working_icon(change):
    if change["new"] == "spinner spin":
        raise ZeroDivisionError("an observer of the button failed")


@pytest.mark.parametrize("failure", ["http", "type", "engine", "observer"])
def test_working_state_is_restored_after_errors(nb, wire, shown, monkeypatch, failure):
    form = Form(nb, shown, [("not", "a dict")] if failure == "type" else {"n": 1})
    form.button.description, form.button.icon = "Ask", "rocket"
    if failure == "http":
        wire.answer("x", status=500)
    elif failure == "engine":
        monkeypatch.setattr(nb, "generate_code_completion", lambda **kw: 1 / 0)
    elif failure == "observer":  # fails while the button is put in its working state
        form.button.observe(refuse_working_icon, "icon")
    on_click = form.handlers()[0]
    with pytest.raises((TypeError, ZeroDivisionError, IOError)):
        on_click(form.button)
    assert (form.button.disabled, form.button.description, form.button.icon) == (False, "Ask", "rocket")
    monkeypatch.undo()
    form.button.unobserve(refuse_working_icon, "icon")
    wire.answer("fine")
    if failure == "type":  # a namespace that is no dict fails each submit, before any request
        with pytest.raises(TypeError, match="Argument 'global_variables' has incorrect type"):
            on_click(form.button)
        assert wire.count == 0
    else:
        form.submit("again")                     # the next click is handled as usual
        assert wire.queries[-1].endswith("again")


def test_forms_are_independent(nb, wire, shown, capsys):
    first, second = Form(nb, shown, {"k": 1.5}), Form(nb, shown)
    first.drop.value = "Debug Code"
    second.drop.value = "Apply PCA"
    first.text.value = "ImportError: no module named x"
    assert second.text.value == promptbook.prompts_list["Apply PCA"]
    assert second.text.placeholder == PLACEHOLDER + "."
    wire.answer("install it")
    second.submit()
    first.submit()
    assert wire.queries[0] == CODE + promptbook.prompts_list["Apply PCA"]
    assert wire.queries[1] == (
        HEADER + "Modules: \n\nVariables: \nname: k, type: <class 'float'>\n\n"
        "Use them as context and " + DEBUG + ": ImportError: no module named x")
    assert capsys.readouterr().out == "You can try this:\n install it\n"   # printed, not a cell
    assert [script_parts(nb, obj) for obj in shown[2:]] == [(BELOW, "install it", TAIL)]


def test_handlers(form):
    on_click, on_change = form.handlers()
    assert on_click.__doc__ == docstring(8, 
        "Update the box on the submission of the query", ":param b: button ", ":return:")
    assert on_change.__doc__ == docstring(8, 
        "Update the text box with the selected value",
        ":param change: change in the value of the drop down", ":return: None")
    assert on_change({"new": "Debug Code"}) is None
    assert form.text.placeholder == "Enter your error response here."
    assert form.drop.value == "Select the prompt"


def test_dropped_form_is_collected(nb, shown):
    form = Form(nb, shown, {"n": 1})
    refs = [weakref.ref(h) for h in form.handlers()]
    assert len(refs) == 2
    for widget in (*form.box.children, form.box):
        widget.close()
    del form, widget
    shown.clear()
    gc.collect()
    assert [r() for r in refs] == [None, None]
