"""`python -m quorvex`: the same command as the `quorvex` console script."""
from quorvex.cli import main

if __name__ == "__main__":
    main(prog_name="quorvex")
