"""Command line: ``python -m tessalumen demo [folder]``."""

import sys


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] != "demo":
        print("usage: python -m tessalumen demo [folder] [--output DIR] [--calls N]", file=sys.stderr)
        return 2
    from tessalumen import demo

    return demo.main(sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
