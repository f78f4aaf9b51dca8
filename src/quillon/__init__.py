"""quillon: a notebook client for the Quillon hosted code-generation service."""

__version__ = "0.1.0"


def load_ipython_extension(ipython):
    """`%load_ext quillon`: log in as importing the notebook assistant does, and
    register the %quillon line magic and the %%quillon cell magic."""
    # Imported here: importing quillon itself logs nobody in.
    from quillon.velto_gpt_sdk import magics

    magics.load_ipython_extension(ipython)


def unload_ipython_extension(ipython):
    """`%unload_ext quillon`: remove the %quillon and %%quillon magics."""
    from quillon.velto_gpt_sdk import magics

    magics.unload_ipython_extension(ipython)
