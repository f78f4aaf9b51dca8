"""What a notebook user sees from `obj?`, help() and tab completion."""

import pydoc

import pytest
from IPython.core.completer import provisionalcompleter
from IPython.core.interactiveshell import InteractiveShell

from _notebook import nb  # noqa: F401  (imports the assistant under a faked login)


@pytest.fixture(scope="module")
def shell(nb):
    shell = InteractiveShell.instance()
    shell.user_ns.update(nbassist=nb, get_completion=nb.get_completion, optimize_code=nb.optimize_code)
    yield shell
    InteractiveShell.clear_instance()


@pytest.mark.parametrize(
    "name, definition, first_doc_line",
    [
        ("get_completion", "get_completion(prompt: 'str', max_tokens: 'int' = 1000)",
         "Get the completion for the given prompt"),
        ("optimize_code",
         "optimize_code(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)",
         "Optimize the code"),
    ],
)
def test_question_mark_shows_signature_and_docstring(shell, name, definition, first_doc_line):
    info = shell.object_inspect(name)
    # IPython breaks long signatures over several lines
    flat = " ".join(info["definition"].split()).replace("( ", "(").replace(", )", ")")
    assert flat == definition
    assert info["docstring"].splitlines()[0] == first_doc_line
    assert info["type_name"] == "function"


def test_help_documents_the_function(nb):
    text = pydoc.render_doc(nb.optimize_code, renderer=pydoc.plaintext)
    # pydoc (3.13 and later) breaks long signatures over several lines, as IPython does
    flat = " ".join(text.split()).replace("( ", "(").replace(" )", ")")
    assert "optimize_code(code: 'str', global_variables: 'dict' = None, jupyter_mode: 'bool' = True)" in flat
    assert ":param jupyter_mode: If the user is using a jupyter notebook or not" in text


@pytest.mark.parametrize(
    "line, expected",
    [("get_completion('x', max_", "max_tokens="), ("optimize_code('x', jupy", "jupyter_mode=")],
)
def test_tab_completion_offers_parameter_names(shell, line, expected):
    with provisionalcompleter():
        matches = [c.text for c in shell.Completer.completions(line, len(line))]
    assert expected in matches
