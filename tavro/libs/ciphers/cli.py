"""tavro-token: tokens and Base64 text from the command line."""

import argparse
import os
import sys

from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3

PROG = "tavro-token"
DISTRIBUTION = "tavro-ciphers"
HEADER_SIZE = 10
TAG_SIZE = 32
# A seed that gives the multiplier 1 would leave every byte as it is, so the cipher uses this.
# The cipher keeps its rule inside e1 and d1, with no helper to call: tests hold this copy to
# what d1 does for every seed.
FALLBACK_MULTIPLIER = 167
# What _TavroCrypt4.d1 raises for a token whose tag matches but whose body holds no payload.
MALFORMED = (IndexError, TypeError)
MISMATCH = "the token's tag does not match: not a token, or an altered one"
MALFORMED_BODY = "malformed token: its tag matches but its body holds no key header"
# With --lines, the output line of an input that failed. Any answer that would read the same
# (this text, or one spanning lines) fails too, so the marker is never a result.
FAILED_LINE = "!"
# Standard input is taken in pieces of up to this many bytes, as they arrive, and the answers
# to each piece go out in one write.
PIECE = 1 << 16

DESCRIPTION = (
    """\
Turns text and bytes into tokens (encrypt, decrypt, inspect) or Base64 text (encode, decode).

Input is the operand, or standard input when it is absent or '-'. Standard input is read as
bytes and used unchanged, except that one trailing newline is dropped (--keep-newline keeps
it). With --lines, every line of standard input is one input and output line N answers input
line N: a line that failed reads "%s" and its message, with the line number, goes to
standard error. --json writes one JSON object a line instead. verify checks tokens.

Exit status: 0 on success, 1 when a token's tag does not match or data does not decode,
2 for usage errors."""
    % FAILED_LINE
)


class Failure(Exception):
    """One input could not be processed; the exit status becomes 1. `reason` names the kind
    of failure in JSON records and verify's report."""

    def __init__(self, message, reason):
        super().__init__(message)
        self.reason = reason


def cipher():
    # The cipher's module imports numpy, which takes longer than everything else the command
    # does: only the commands that use the cipher load it.
    from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4

    return _TavroCrypt4


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: %s (see '%s --help')\n" % (PROG, message, self.prog))


class ShowVersion(argparse.Action):
    """--version, which reads the installed package's metadata only when asked."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version(DISTRIBUTION)
        except PackageNotFoundError:
            parser.exit(1, "%s: the package's metadata is not installed: version unknown\n" % PROG)
        sys.stdout.write("%s %s\n" % (PROG, found))
        parser.exit()


def text_encoding(name):
    try:
        "".encode(name)
        b"".decode(name)
    except LookupError:
        raise argparse.ArgumentTypeError("unknown text encoding: %s" % name)
    return name


def plain_bytes(args, item):
    if isinstance(item, bytes):
        return item
    try:
        return item.encode(args.encoding)
    except UnicodeEncodeError:
        raise Failure("the text cannot be encoded in %s" % args.encoding, "encoding")


def ascii_text(item):
    text = item.decode("ascii", "replace") if isinstance(item, bytes) else item
    if not text.isascii():
        raise Failure(
            "the input has non-ASCII characters: tokens and Base64 text have none", "malformed"
        )
    return text.strip()


def open_token(token):
    try:
        plain = cipher().d1(token)
    except MALFORMED:
        raise Failure(MALFORMED_BODY, "malformed")
    if plain is None:
        raise Failure(MISMATCH, "tag")
    return plain


def shown(args, data):
    if args.hex:
        return data.hex()
    if args.raw:
        return bytes(data)
    try:
        return data.decode(args.encoding)
    except UnicodeDecodeError:
        raise Failure("the result is not %s text; use --hex or --raw" % args.encoding, "text")


def encrypt(args, item):
    return cipher().e1(plain_bytes(args, item))


def encode(args, item):
    codec = _TavroCrypt3.e2 if args.no_padding else _TavroCrypt3.e1
    return codec(plain_bytes(args, item))


def decrypt(args, item):
    return shown(args, open_token(ascii_text(item)))


def decode(args, item):
    # Base64 is often wrapped over lines, and the codec counts every character for padding.
    data = _TavroCrypt3.d1("".join(ascii_text(item).split()))
    if data is None:
        raise Failure("the input is not Base64 text", "base64")
    return shown(args, data)


def multiplier_of(seed):
    multiplier = seed + 1 if seed % 2 == 0 else seed
    return FALLBACK_MULTIPLIER if multiplier == 1 else multiplier


def inspect(args, item):
    token = ascii_text(item)
    problem = None
    try:
        plain = cipher().d1(token)
    except MALFORMED:
        plain, problem = None, MALFORMED_BODY
    if plain is None and problem is None:
        problem = MISMATCH
    body = token[:-TAG_SIZE]
    report = [
        "token length:      %d" % len(token),
        "body length:       %d" % len(body),
        "tag:               %s" % ("does not match" if problem is MISMATCH else "matches"),
    ]
    payload = _TavroCrypt3.d1(body)
    if payload is None:
        report.append("body:              not Base64")
    else:
        header = payload[:HEADER_SIZE]
        short = len(header) < HEADER_SIZE
        report.append(
            "key header:        %s%s"
            % (header.hex(" "), " (%d of %d bytes)" % (len(header), HEADER_SIZE) if short else "")
        )
        if header:
            multiplier = multiplier_of(header[0])
            report.append("multiplier:        %d" % multiplier)
            report.append("inverse:           %d" % cipher()._TavroCrypt4__f1(multiplier))
        report.append("enciphered bytes:  %d" % max(len(payload) - HEADER_SIZE, 0))
    if plain is None:
        report.append("plaintext:         unavailable")
    else:
        try:
            report.append("plaintext (%s): %r" % (args.encoding, plain.decode(args.encoding)))
        except UnicodeDecodeError:
            report.append("plaintext (hex):   %s" % plain.hex())
    if problem:
        # The report matters most when something is wrong, so it goes out before the failure.
        write("\n".join(report))
        raise Failure(problem, "tag" if problem is MISMATCH else "malformed")
    return "\n".join(report)


def verify(args, item):
    plain = open_token(ascii_text(item))
    try:
        plain.decode(args.encoding)
    except UnicodeDecodeError:
        raise Failure("the plaintext is not %s text" % args.encoding, "text")


def quick_open(args, lines):
    """d1's answer to each line that holds a good token, in the form the command prints, and
    None for the others, which the command then answers one at a time with its messages."""
    d1 = cipher().d1
    encoding = None if args.hex else args.encoding
    answers = []
    for line in lines:
        try:
            answers.append(d1(line.decode("ascii").strip(), encoding))
        except Exception:
            answers.append(None)
    if args.hex:
        answers = [None if answer is None else answer.hex() for answer in answers]
    return answers


def write(result):
    if isinstance(result, bytes):
        sys.stdout.flush()
        sys.stdout.buffer.write(result)
    else:
        try:
            sys.stdout.write(result + "\n")
        except UnicodeEncodeError:
            raise unprintable()
    sys.stdout.flush()


def unprintable():
    return Failure(
        "standard output (%s) cannot show the result; use --hex or --raw" % sys.stdout.encoding,
        "output",
    )


def chomp(data):
    return data[:-1] if data.endswith(b"\n") else data


def single_input(args):
    """The operand as text, or standard input as bytes."""
    if args.input not in (None, "-"):
        return args.input
    data = sys.stdin.buffer.read()
    return data if args.keep_newline else chomp(data)


def pieces(stream):
    """Lists of the stream's lines (without their newline) as they arrive: a reader that
    waits for each answer gets it, and a file goes through in large pieces."""
    rest = b""
    while True:
        data = stream.read1(PIECE)
        if not data:
            if rest:
                yield [rest]
            return
        lines = (rest + data).split(b"\n")
        rest = lines.pop()
        if lines:
            yield lines


def answer_of(args, line, quick_answer):
    """The line's answer, or the Failure that stopped it."""
    if quick_answer is not None:
        return quick_answer
    try:
        return args.run(args, line)
    except Failure as failure:
        return failure


def reads_as_one_line(answer):
    return "\n" not in answer and "\r" not in answer and answer != FAILED_LINE


def complain(number, failure):
    print("%s: line %d: %s" % (PROG, number, failure), file=sys.stderr)


def write_lines(numbers, answers):
    """Output line N for input line N; returns how many failed."""
    if all(isinstance(answer, str) for answer in answers):
        text = "\n".join(answers)
        if text.count("\n") == len(answers) - 1 and "\r" not in text and FAILED_LINE not in answers:
            try:
                sys.stdout.write(text + "\n")
                return 0
            except UnicodeEncodeError:
                pass
    failed = 0
    for number, answer in zip(numbers, answers):
        if isinstance(answer, str) and not reads_as_one_line(answer):
            answer = Failure(
                "the result spans lines or reads as a failed line (%s); use --hex "
                "or --json" % FAILED_LINE,
                "output",
            )
        if isinstance(answer, str):
            try:
                sys.stdout.write(answer + "\n")
                continue
            except UnicodeEncodeError:
                answer = unprintable()
        sys.stdout.write(FAILED_LINE + "\n")
        complain(number, answer)
        failed += 1
    return failed


def json_records(numbers, answers):
    # Only --json needs json: the other commands start sooner without it.
    import json
    from json.encoder import encode_basestring_ascii

    for number, answer in zip(numbers, answers):
        if isinstance(answer, Failure):
            yield json.dumps(
                {"line": number, "outcome": "error", "reason": answer.reason, "error": str(answer)}
            )
        else:
            # What json.dumps gives for a string, without its set-up on every call: --json on
            # a million tokens took 2.4 times a plain loop over d1 with dumps, 1.8 with this.
            yield '{"line": %d, "outcome": "ok", "result": %s}' % (
                number,
                encode_basestring_ascii(answer),
            )


def write_json(numbers, answers):
    sys.stdout.write("".join(record + "\n" for record in json_records(numbers, answers)))
    return sum(isinstance(answer, Failure) for answer in answers)


def write_report(numbers, answers, as_json):
    """verify: only the tokens that fail, with why."""
    numbers = [number for number, answer in zip(numbers, answers) if isinstance(answer, Failure)]
    failures = [answer for answer in answers if isinstance(answer, Failure)]
    if as_json:
        return write_json(numbers, failures)
    for number, failure in zip(numbers, failures):
        sys.stdout.write("line %d: %s: %s\n" % (number, failure.reason, failure))
    return len(failures)


def answer_lines(args):
    """One answer a line of standard input, in order; returns the exit status."""
    total = failed = 0
    for lines in pieces(sys.stdin.buffer):
        quick = args.quick(args, lines) if args.quick else [None] * len(lines)
        answers = [answer_of(args, line, found) for line, found in zip(lines, quick)]
        numbers = range(total + 1, total + 1 + len(lines))
        if args.command == "verify":
            failed += write_report(numbers, answers, args.json)
        elif args.json:
            failed += write_json(numbers, answers)
        else:
            failed += write_lines(numbers, answers)
        total += len(lines)
        sys.stdout.flush()
    if args.command == "verify":
        summary = (
            '{"tokens": %d, "hold": %d, "failed": %d}\n'
            if args.json
            else "%d tokens: %d hold, %d failed\n"
        )
        sys.stdout.write(summary % (total, total - failed, failed))
    return 1 if failed else 0


def build_parser():
    parser = Parser(
        prog=PROG, description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.set_defaults(
        lines=False, json=False, keep_newline=False, raw=False, hex=False, quick=None
    )
    parser.add_argument("--version", action=ShowVersion, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def lines_options(sub, summary):
        sub.add_argument("--lines", action="store_true", help=summary)
        sub.add_argument(
            "--json",
            action="store_true",
            help="as --lines, one JSON object a line: line, outcome, result or reason and error",
        )

    def command(name, run, operand, summary):
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        sub.add_argument(
            "input", nargs="?", metavar=operand, help="the input; standard input when absent or '-'"
        )
        sub.add_argument(
            "--encoding",
            type=text_encoding,
            default="utf-8",
            help="encoding of the text (default: utf-8)",
        )
        return sub

    def text_command(name, run, summary):
        sub = command(name, run, "TEXT", summary)
        sub.add_argument(
            "--keep-newline",
            action="store_true",
            help="keep the trailing newline of standard input",
        )
        lines_options(sub, "one text a line of standard input, one result a line")
        return sub

    def data_command(name, run, operand, summary):
        sub = command(name, run, operand, summary)
        lines_options(sub, "one input a line of standard input, one result a line")
        form = sub.add_mutually_exclusive_group()
        form.add_argument("--hex", action="store_true", help="print the bytes as hex digits")
        form.add_argument("--raw", action="store_true", help="write the bytes as they are")
        return sub

    text_command("encrypt", encrypt, "print the token of a text")
    text_command("encode", encode, "print the Base64 text of a text").add_argument(
        "--no-padding", action="store_true", help='leave out the trailing "="'
    )
    data_command("decrypt", decrypt, "TOKEN", "print the plaintext of a token").set_defaults(
        quick=quick_open
    )
    data_command("decode", decode, "B64", "print the data of Base64 text (either alphabet)")
    command("inspect", inspect, "TOKEN", "describe a token: tag, key header, plaintext")
    checks = commands.add_parser(
        "verify",
        help="check the tokens of standard input, one a line",
        description="Checks every token of standard input, one a line: reports each line "
        "whose token fails and why (tag, malformed, text), then how many hold.",
    )
    checks.set_defaults(run=verify, quick=quick_open, lines=True, input=None)
    checks.add_argument(
        "--encoding",
        type=text_encoding,
        default="utf-8",
        help="encoding the plaintexts must be in (default: utf-8)",
    )
    checks.add_argument(
        "--json", action="store_true", help="one JSON object for each failed line, then the counts"
    )
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    args.lines = args.lines or args.json
    if args.lines and args.input not in (None, "-"):
        parser.error("--lines reads standard input, so it takes no operand")
    if args.lines and args.raw:
        parser.error("--raw cannot mark where one result ends: use --hex with --lines")
    try:
        if args.lines:
            return answer_lines(args)
        try:
            write(args.run(args, single_input(args)))
        except Failure as failure:
            print("%s: %s" % (PROG, failure), file=sys.stderr)
            return 1
    except BrokenPipeError:
        # Whoever reads the output stopped (head, for example); Python must not complain at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
