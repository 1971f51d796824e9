"""Command line of pravel: ``pravel demo`` runs the modules on bundled samples."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

SAMPLES = Path(__file__).resolve().parent / "samples"


def _demo(args: argparse.Namespace) -> int:
    from PIL import Image
    import io

    from pravel.framekit import Framekit

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    print("framekit")
    for sample in ("portrait.jpg", "cutout.png"):
        data = (SAMPLES / sample).read_bytes()
        for mode in ("resize", "fill"):
            result, ratio = Framekit(need_adjust=mode).adjust_size(data, True)
            target = out / f"{Path(sample).stem}-{mode}.png"
            target.write_bytes(result)
            before = Image.open(io.BytesIO(data)).size
            after = Image.open(io.BytesIO(result)).size
            print(f"  {sample:13} {mode:6} nearest {ratio:5} {before[0]}x{before[1]} -> "
                  f"{after[0]}x{after[1]}  {target}")
    data = (SAMPLES / "portrait.jpg").read_bytes()
    result, ratio = Framekit("3:4").adjust_size(data, True)
    print(f"  portrait.jpg  asked for 3:4: {'handed back unchanged' if result is data else 'adjusted'}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="pravel", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="run the modules on the bundled samples")
    demo.add_argument("--out", default="out", help="folder for the output images (default: out)")
    demo.set_defaults(run=_demo)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
