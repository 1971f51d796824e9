"""pravel's command line: the service's image, size and prompt tools for operators.

Every subcommand takes --json to print a machine-readable answer in the service's
own shape (ServiceResult.to_dict()). Errors print one line on standard error and
exit with a non-zero status. An input named - is read from standard input, and
-o - writes the image to standard output (the report then goes to standard error).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, Mapping, NoReturn, Sequence, TextIO

from pravel import __version__

if TYPE_CHECKING:  # the extensions load only when a command needs them
    from pravel.response.result import ResultDict

SAMPLES = Path(__file__).resolve().parent / "samples"

# Exit statuses.
OK, REFUSED, ERROR, INTERRUPTED = 0, 1, 2, 130

EXIT_STATUSES = """\
exit status:
  0    success; screen: the prompt is clean; comfyui-restart: the server is ready
  1    screen: banned words found; comfyui-restart: not ready within the limit
  2    an error: bad arguments, or an input that could not be read, decoded or
       written (with several inputs, the others are still reported)
  130  interrupted
"""

# Inputs from which a step takes about a second or more on one server core (a
# 4000x3000 photo is adjusted in about 1.2 s, 100,000 banned words load in about
# 1.3 s); such steps show a progress line on a terminal.
LONG_ADJUST_PIXELS = 8_000_000
LONG_SCALE_PIXELS = 50_000_000
LONG_WORD_LIST_BYTES = 800_000


class CommandError(Exception):
    """A failure reported as one line, with the error code of the answer."""

    def __init__(self, message: str, code: str = "INVALID_PARAMS", status: int = ERROR):
        super().__init__(message)
        self.code = code
        self.status = status


# ---------------------------------------------------------------- helpers


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None


def _is_terminal(stream: TextIO) -> bool:
    return stream.isatty()


def _write(path: str, data: bytes) -> None:
    if path == "-":
        if _is_terminal(sys.stdout):
            raise CommandError("not writing image data to a terminal: redirect standard output or give -o FILE")
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        Path(path).write_bytes(data)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None


def _report_stream(args: argparse.Namespace) -> TextIO | None:
    """Where the text report goes: standard output, unless the image does (then
    standard error, or nowhere with --quiet)."""
    if getattr(args, "output", None) != "-":
        return sys.stdout
    return None if args.quiet else sys.stderr


@contextlib.contextmanager
def _progress(args: argparse.Namespace, text: str, long: bool) -> Iterator[None]:
    """One line on standard error while a long step runs, erased when it ends;
    only on a terminal and never with --quiet."""
    show = long and not args.quiet and _is_terminal(sys.stderr)
    if show:
        sys.stderr.write(f"pravel: {text} ...")
        sys.stderr.flush()
    try:
        yield
    finally:
        if show:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def _pixels(data: bytes) -> int:
    """The pixel count an image header declares (0 when it cannot be read)."""
    try:
        width, height = _size_of(data)
    except Exception:  # the real call reports it
        return 0
    return width * height


def _image_error(path: str, exc: Exception) -> CommandError:
    from PIL import Image, UnidentifiedImageError

    if isinstance(exc, UnidentifiedImageError):
        reason = "unknown image format"
    else:
        # One line whatever the reader said; the type too where it is not one
        # of the imaging library's usual decoding errors.
        reason = " ".join(str(exc).split()) or type(exc).__name__
        usual = (Image.DecompressionBombError, OSError, SyntaxError, EOFError)
        if not isinstance(exc, usual):
            reason = f"{type(exc).__name__}: {reason}" if str(exc).strip() else reason
    return CommandError(f"{path}: not an image that can be decoded ({reason})", "IMAGE_INVALID")


def _decoding(path: str, action: Callable[[], Any]) -> Any:
    """Runs `action` on one input's bytes, turning whatever the imaging library
    raises for them (its readers raise ValueError, AttributeError,
    NotImplementedError and more besides their usual errors) into one line.
    MemoryError, like KeyboardInterrupt and SystemExit, goes on."""
    try:
        return action()
    except MemoryError:
        raise
    except Exception as exc:
        raise _image_error(path, exc) from None


def _size_of(data: bytes) -> tuple[int, int]:
    from PIL import Image

    with Image.open(io.BytesIO(data)) as image:
        return image.size


def _fill_color(text: str) -> tuple[int, ...]:
    try:
        parts = tuple(int(p) for p in text.split(","))
    except ValueError:
        parts = ()
    if len(parts) not in (3, 4) or not all(0 <= p <= 255 for p in parts):
        raise argparse.ArgumentTypeError(f"expected R,G,B or R,G,B,A with values 0-255, got {text!r}")
    return parts


def _print_json(answer: Mapping[str, Any]) -> None:
    print(json.dumps(answer, ensure_ascii=False))


def _answer(args: argparse.Namespace, data: Any, lines: Sequence[str], status: int = OK) -> int:
    """Prints a success: the text lines, or with --json the service's answer."""
    if args.json:
        from pravel.response.result import ServiceResult

        _print_json(ServiceResult.success(data).to_dict())
    else:
        stream = _report_stream(args)
        for line in lines if stream else ():
            print(line, file=stream)
    return status


def _failure_answer(error: CommandError, data: Any = None) -> ResultDict:
    """The service's answer for a failure (`data` kept as the payload)."""
    from pravel.response.faultmark import Faultmark
    from pravel.response.result import ServiceResult

    answer = ServiceResult.fail(Faultmark[error.code], str(error), status_code=400).to_dict()
    answer["data"] = data
    return answer


def _check_output(args: argparse.Namespace) -> None:
    if args.output == "-" and args.json:
        raise CommandError("--json and -o - cannot share standard output")


# ---------------------------------------------------------------- subcommands


def _adjust(args: argparse.Namespace) -> int:
    from pravel.framekit import Framekit

    _check_output(args)
    data = _read(args.image)
    options = {} if args.fill_color is None else {"fill_color": args.fill_color}
    checker = Framekit(args.ratio, args.mode, **options)
    with _progress(args, f"adjusting {args.image}", _pixels(data) >= LONG_ADJUST_PIXELS):
        result, ratio = _decoding(args.image, lambda: checker.adjust_size(data, True, args.percent))
    adjusted = result is not data
    _write(args.output, result)
    size = _size_of(result)
    info = {"input": args.image, "output": args.output, "adjusted": adjusted, "ratio": ratio,
            "width": size[0], "height": size[1]}
    if adjusted:
        line = f"{args.image}: adjusted ({args.mode}), nearest ratio {ratio}, {size[0]}x{size[1]} -> {args.output}"
    else:
        line = (f"{args.image}: handed back unchanged: its nearest ratio is not the requested {ratio} "
                f"-> {args.output}")
    return _answer(args, info, [line])


def _ratio(args: argparse.Namespace) -> int:
    from pravel.shapelens import ImageShapelens

    lens = ImageShapelens(args.range)
    rows: list[dict[str, Any]] = []
    failures: list[CommandError] = []
    for path in args.images:
        # Each file is reported as it is done; a failed one does not stop the others.
        try:
            data = _read(path)
            exact, approx, (width, height) = _decoding(path, lambda: (
                lens.get_raw_simple_ratio(data), lens.get_approx_simple_ratio(data), _size_of(data)))
        except CommandError as error:
            failures.append(error)
            rows.append({"file": path, "error": str(error), "code": error.code})
            if not args.json:
                print(f"pravel: error: {error}", file=sys.stderr)
            continue
        rows.append({"file": path, "width": width, "height": height, "exact": exact, "approx": approx})
        if not args.json:
            print(f"{path}: {width}x{height}  exact {exact}  approx {approx}")
    if not failures:
        return _answer(args, rows, [])
    if args.json:
        _print_json(_failure_answer(failures[0], rows))
    return ERROR


def _size(args: argparse.Namespace) -> int:
    from pravel.orvid import OrvidSizeCalculator

    try:
        result = OrvidSizeCalculator.calc_size(args.ratio, args.tier)
    except (ValueError, ZeroDivisionError) as exc:
        raise CommandError(f"bad ratio {args.ratio!r}: {exc}") from None
    valid = "legal" if result["valid"] else "NOT legal"
    line = f"{result['aspect_ratio']} at {result['resolution']}: {result['size']} ({result['pixels']} pixels, {valid})"
    return _answer(args, result, [line])


def _scale(args: argparse.Namespace) -> int:
    from PIL import Image

    from pravel.marvale import MarvaleImageScale

    _check_output(args)
    data = _read(args.image)

    def scale() -> Image.Image:
        with Image.open(io.BytesIO(data)) as image:
            image.load()
            # The scaler prints its own line: part of the text report, never of
            # the JSON answer or the image on standard output.
            stream = sys.stderr if args.json else _report_stream(args)
            with contextlib.redirect_stdout(stream or io.StringIO()):
                return MarvaleImageScale(image).start()

    with _progress(args, f"scaling {args.image}", _pixels(data) >= LONG_SCALE_PIXELS):
        scaled = _decoding(args.image, scale)
    buffer = io.BytesIO()
    fmt = Image.registered_extensions().get(Path(args.output).suffix.lower(), "PNG")
    if fmt == "JPEG" and scaled.mode not in ("RGB", "L"):
        scaled = scaled.convert("RGB")
    scaled.save(buffer, format=fmt)
    _write(args.output, buffer.getvalue())
    info = {"input": args.image, "output": args.output, "width": scaled.width, "height": scaled.height}
    return _answer(args, info, [f"-> {args.output}"])


def _screen(args: argparse.Namespace) -> int:
    from pravel.exceptions import PromptBanError
    from pravel.wordguard import NormalizedPromptBanChecker, PromptBanChecker

    if args.prompt in (None, "-"):
        prompt = sys.stdin.read()
    else:
        prompt = args.prompt
    try:
        size = os.path.getsize(args.words)
    except OSError:
        size = 0  # the checker reports a missing file
    try:
        with _progress(args, f"loading the banned words of {args.words}", size >= LONG_WORD_LIST_BYTES):
            checker: PromptBanChecker
            normalized: NormalizedPromptBanChecker | None = None
            if args.disguises or args.allowed or args.sound_alike or args.mask is not None:
                checker = normalized = NormalizedPromptBanChecker(
                    args.words, ignore_case=not args.case_sensitive, allowed_words_file=args.allowed,
                    sound_alike=args.sound_alike)
            else:
                checker = PromptBanChecker(args.words, ignore_case=not args.case_sensitive)
    except FileNotFoundError as exc:
        raise CommandError(str(exc)) from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CommandError(f"cannot read a word list ({args.words}, {args.allowed}): {exc}"
                           if args.allowed else f"cannot read the word list {args.words}: {exc}") from None
    try:
        checker.check(prompt)
    except PromptBanError as exc:
        masked = normalized.mask(prompt, args.mask) if normalized and args.mask is not None else None
        if args.json:
            from pravel.response.faultmark import Faultmark
            from pravel.response.result import ServiceResult

            answer = ServiceResult.fail(Faultmark.PROMPT_BANNED, status_code=400).to_dict()
            answer["data"] = {"hits": exc.data, "detail": exc.error_msg}
            if normalized is not None and masked is not None:
                answer["data"]["masked"] = masked
                answer["data"]["spans"] = [{"word": word, "start": start, "end": end}
                                           for word, start, end in normalized.find_hits(prompt)]
            _print_json(answer)
        else:
            print(f"banned: {', '.join(exc.data or [])}")
            if masked is not None:
                print(masked)
        return REFUSED
    info: dict[str, Any] = {"hits": []}
    if args.mask is not None:
        info["masked"] = prompt
    return _answer(args, info, ["clean"])


class _Discard(io.TextIOBase):
    """A text stream that keeps nothing (the quiet waiting lines)."""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        return len(text)


def _comfyui_restart(args: argparse.Namespace) -> int:
    import logging

    from pravel.comfyui.hostwarden import ComfyUIManager

    # The manager's records (errors; with -v its debug records too) and its
    # waiting lines are progress, shown on standard error unless --quiet or
    # --json; standard output carries the answer.
    quiet = args.quiet or args.json
    logger = logging.getLogger("pravel.cli.comfyui")
    logger.setLevel(logging.DEBUG if args.verbose else logging.ERROR)
    logger.propagate = False
    # Quiet, the records go to a handler that drops them: a logger without
    # any handler would hand its errors to logging's last resort (stderr).
    if quiet:
        handler: logging.Handler = logging.NullHandler()
    else:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    logger.addHandler(handler)
    try:
        manager = ComfyUIManager(args.url, max_wait_seconds=args.max_wait, poll_interval=args.poll_interval,
                                 logger=logger)
        with contextlib.redirect_stdout(_Discard() if quiet else sys.stderr):
            ready = manager.run_reboot_and_wait()
    finally:
        logger.removeHandler(handler)
    if args.json:
        from pravel.response.faultmark import Faultmark
        from pravel.response.result import ServiceResult

        result = ServiceResult.success({"url": manager.base_url}) if ready else \
            ServiceResult.fail(Faultmark.TIMEOUT, status_code=504)
        _print_json(result.to_dict())
    else:
        print(f"{manager.base_url}: {'ready again' if ready else 'not ready within the limit'}")
    return OK if ready else REFUSED


def _demo(args: argparse.Namespace) -> int:
    from pravel import demo

    return demo.run(Path(args.out), as_json=args.json)


# ---------------------------------------------------------------- parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="pravel", description=__doc__, epilog=EXIT_STATUSES,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"pravel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], help: str,
                quiet: str | None = None, verbose: str | None = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, epilog=EXIT_STATUSES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("--json", action="store_true", help="print the answer as JSON")
        if quiet:
            sub.add_argument("-q", "--quiet", action="store_true", help=quiet)
        if verbose:
            sub.add_argument("-v", "--verbose", action="store_true", help=verbose)
        sub.set_defaults(run=run, quiet=False, verbose=False)
        return sub

    progress = "no progress line"

    sub = command("adjust", _adjust, "match an image to its nearest standard ratio and enlarge or pad it",
                  quiet=f"{progress}; with -o -, no report either")
    sub.add_argument("image", help="the image file, or - for standard input")
    sub.add_argument("--ratio", default=None, help="requested ratio, e.g. 3:4 (default: none)")
    sub.add_argument("--mode", choices=("fill", "resize"), default="fill")
    sub.add_argument("--percent", type=float, default=10.0, help="growth of the smaller side (default 10)")
    sub.add_argument("--fill-color", type=_fill_color, default=None, metavar="R,G,B[,A]",
                     help="canvas colour in fill mode (default transparent)")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="the output file, or - for standard output")

    sub = command("ratio", _ratio, "exact and approximate aspect ratio of images")
    sub.add_argument("images", nargs="+", metavar="IMAGE", help="image files (- for standard input)")
    sub.add_argument("--range", type=int, default=10, metavar="N", help="largest term of the approximation (default 10)")

    sub = command("size", _size, "legal output size for the upstream model")
    sub.add_argument("ratio", metavar="RATIO", help="aspect ratio such as 16:9")
    sub.add_argument("--tier", default="2k", choices=("1k", "2k", "4k"))

    sub = command("scale", _scale, "scale an image to the nearest Marvale resolution",
                  quiet=f"{progress}, no size line; with -o -, no report either")
    sub.add_argument("image", help="the image file, or - for standard input")
    sub.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="the output file (format from its suffix, PNG by default), or - for standard output")

    sub = command("screen", _screen, "screen a prompt against a banned-word list (exit 1 when banned)",
                  quiet=progress)
    sub.add_argument("prompt", nargs="?", metavar="PROMPT", help="the prompt, or - (default) to read standard input")
    sub.add_argument("--words", required=True, metavar="FILE", help="banned words, one per line (UTF-8)")
    sub.add_argument("--case-sensitive", action="store_true")
    sub.add_argument("--disguises", action="store_true",
                     help="see through disguised words (implied by the options below)")
    sub.add_argument("--allowed", metavar="FILE",
                     help="allowed phrases, one per line: hits inside them do not count")
    sub.add_argument("--sound-alike", action="store_true",
                     help="also find Chinese words written in pinyin or with same-sounding characters")
    sub.add_argument("--mask", nargs="?", const="*", metavar="CHAR",
                     help="also print the prompt with every hit replaced by CHAR (default *)")

    sub = command("comfyui-restart", _comfyui_restart, "restart the ComfyUI server and wait until it answers",
                  quiet="no log or waiting lines", verbose="debug log records too")
    sub.add_argument("--url", default="http://127.0.0.1:8188")
    sub.add_argument("--max-wait", type=int, default=60, metavar="S", help="seconds to wait (default 60)")
    sub.add_argument("--poll-interval", type=float, default=2.0, metavar="S", help=argparse.SUPPRESS)

    sub = command("demo", _demo, "run every module on the bundled samples")
    sub.add_argument("--out", default="out", help="folder for the output images (default: out)")
    return parser


def _fail(args: argparse.Namespace | None, error: CommandError) -> NoReturn:
    if args is not None and getattr(args, "json", False):
        try:
            _print_json(_failure_answer(error))
        except Exception:  # the answer is a courtesy; the error line below is the report
            pass
    print(f"pravel: error: {error}", file=sys.stderr)
    sys.exit(error.status)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CommandError as error:
        _fail(args, error)
    except KeyboardInterrupt:
        print("pravel: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader (say `head`) went away: nothing more to say, and nothing
        # for the interpreter to flush on its way out.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return ERROR
    except Exception as exc:  # never a traceback for operators
        _fail(args, CommandError(f"{type(exc).__name__}: {exc}"))


if __name__ == "__main__":
    sys.exit(main())
