"""Python code run in the middle of a native call (a GC finalizer, a hostile __eq__) cannot pull
an object out from under it; each case, in a child, once ended in a segmentation fault."""
import textwrap

import conftest


def run_child(body):
    return conftest.run_child(body, prelude="from quillon.velto_gpt_sdk import nbassist\n")


def test_closure_made_while_finalizers_rebind_the_module_name():
    # Each collection frees the module's current __name__ and leaves a new
    # cycle behind, so the GC that an allocation starts always has work.
    result = run_child('''
        class Renamer:
            def __init__(self, n):
                self.n, self.cycle = n, self
            def __del__(self):
                nbassist.__name__ = "".join(["renamed-", str(self.n)])
                Renamer(self.n + 1)

        import ipywidgets
        handlers = []

        class Button(ipywidgets.Button):
            def on_click(self, handler):
                handlers.append(handler)
                super().on_click(handler)

        widgets = type(ipywidgets)("widgets")
        for name in ("Dropdown", "HTML", "Textarea", "VBox"):
            setattr(widgets, name, getattr(ipywidgets, name))
        widgets.Button = Button
        nbassist.widgets, nbassist.display = widgets, lambda *objects: None
        nbassist.__name__ = "".join(["renamed-", "start"])
        Renamer(0)
        gc.set_threshold(1, 1, 1)
        for _ in range(50):
            nbassist.generate_code()
        gc.set_threshold(700, 10, 10)
        report(modules=sorted({type(h.__module__).__name__ for h in handlers}),
               names=sorted({h.__qualname__ for h in handlers}), count=len(handlers))
    ''')
    assert result == {"modules": ["str"], "names": ["generate_code.<locals>.on_button_clicked"], "count": 50}


HOOK_CHILD = '''
    from IPython.core.displaypub import DisplayPublisher
    from IPython.core.interactiveshell import InteractiveShell

    class Publisher(DisplayPublisher):
        """Hands the hooks messages built by `hostile` around the real script."""
        hooks, seen = [], []
        def register_hook(self, hook):
            self.hooks.append(hook)
        def unregister_hook(self, hook):
            self.hooks.remove(hook)
        def publish(self, data, metadata=None, **kwargs):
            if "application/javascript" not in data:
                return  # the update that empties a tagged script
            for hook in list(self.hooks):
                msg = hostile(data["application/javascript"])
                result = hook(msg)
                self.seen.append(sorted(map(str, msg)) if isinstance(msg, dict) else repr(msg))
                self.seen.append(result is msg)

    shell = InteractiveShell.instance()
    shell.display_pub = Publisher(shell=shell)
    outcome = "published"
    try:
        nbassist.display_next_cell("x = 1")
    except Exception as err:
        outcome = type(err).__name__ + ": " + str(err)
    report(outcome=outcome, seen=Publisher.seen)
'''

HOSTILE = {
    # a str subclass equal to the script whose __eq__ empties the whole message
    "script that clears the message": '''
        def hostile(script):
            class Sly(str):
                def __eq__(self, other):
                    msg.clear()
                    return str.__eq__(self, other)
                __hash__ = str.__hash__
            msg = {"msg_type": "display_data", "content": {"data": {"application/javascript": Sly(script)}}}
            return msg
    ''',
    # a key sharing the hash of "data": comparing it with the looked-up key
    # runs its __eq__, which drops the dict being searched
    "colliding key that drops the content": '''
        def hostile(script):
            class Collider:
                def __hash__(self):
                    return hash("data")
                def __eq__(self, other):
                    if armed:
                        msg.clear()
                    return False
            armed = False
            msg = {"msg_type": "display_data",
                   "content": {Collider(): 1, "data": {"application/javascript": script}}}
            armed = True
            return msg
    ''',
    "colliding key that raises": '''
        def hostile(script):
            class Collider:
                def __hash__(self):
                    return hash("content")
                def __eq__(self, other):
                    if armed:
                        raise RuntimeError("no comparing me")
                    return False
            armed = False
            msg = {"msg_type": "display_data", Collider(): 1,
                   "content": {"data": {"application/javascript": script}}}
            armed = True
            return msg
    ''',
}


def test_display_hook_survives_hostile_messages():
    results = {case: run_child(textwrap.dedent(setup) + textwrap.dedent(HOOK_CHILD))
               for case, setup in HOSTILE.items()}
    # A message that is not plainly ours goes on unchanged and untagged.
    assert results["script that clears the message"] == {"outcome": "published",
                                                         "seen": [["content", "msg_type"], True]}
    assert results["colliding key that drops the content"] == {"outcome": "published", "seen": [[], True]}
    # An error raised inside the lookup is not swallowed.
    assert results["colliding key that raises"] == {"outcome": "RuntimeError: no comparing me", "seen": []}


def test_an_interrupt_while_the_publisher_is_asked_for_hooks_is_not_swallowed():
    result = run_child('''
        from IPython.core.displaypub import DisplayPublisher
        from IPython.core.interactiveshell import InteractiveShell

        class Publisher(DisplayPublisher):
            @property
            def register_hook(self):
                raise KeyboardInterrupt

        shell = InteractiveShell.instance()
        shell.display_pub = Publisher(shell=shell)
        try:
            nbassist.display_next_cell("x = 1")
            report(outcome="published")
        except KeyboardInterrupt:
            report(outcome="interrupted")
    ''')
    assert result == {"outcome": "interrupted"}
