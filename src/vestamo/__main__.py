"""Command line: ``python -m vestamo export FOLDER`` writes the sample market as a data
folder; ``python -m vestamo validate FOLDER`` checks one."""

import argparse
import sys

from .build import DEFAULT_SEED, make_market
from .export import export
from .layout import StoreError
from .store import open_store


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vestamo", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    out = commands.add_parser("export", help="write the synthetic sample market as a data folder")
    out.add_argument("folder")
    out.add_argument("--n-stocks", type=int, default=500)
    out.add_argument("--start-date", default="2015-01-01")
    out.add_argument("--end-date", default="2024-12-31")
    out.add_argument("--seed", type=int, default=DEFAULT_SEED)
    out.add_argument("--overwrite", action="store_true", help="replace table files already there")
    check = commands.add_parser("validate", help="check every row of a data folder")
    check.add_argument("folder")
    args = parser.parse_args(argv)
    try:
        if args.command == "export":
            market = make_market(n_stocks=args.n_stocks, start_date=args.start_date, end_date=args.end_date,
                                 seed=args.seed)
            folder = export(market, args.folder, overwrite=args.overwrite)
            print("wrote {!r} to {}".format(market, folder))
        else:
            print("{!r}: valid".format(open_store(args.folder).validate()))
    except (StoreError, ValueError, TypeError, OSError) as exc:
        # One line for the user; a traceback says nothing more about a damaged folder.
        print("error: {}".format(exc), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
