"""python -m kvstore: see kvstore._cli."""

from ._cli import run

if __name__ == "__main__":
    run()
