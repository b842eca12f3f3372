"""``python -m larkspan.splat``: the command line."""

from .cli import run

if __name__ == "__main__":
    run()
