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

DESCRIPTION = """\
Turns text and bytes into tokens (encrypt, decrypt, inspect) or Base64 text (encode, decode).

Input is the operand, or standard input when it is absent or '-'. Standard input is read as
bytes and used unchanged, except that one trailing newline is dropped (--keep-newline keeps
it). With --lines, every line of standard input is one input and gives one line of output.

Exit status: 0 on success, 1 when a token's tag does not match or data does not decode,
2 for usage errors."""


class Failure(Exception):
    """One input could not be processed; the exit status becomes 1."""


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
        raise Failure("the text cannot be encoded in %s" % args.encoding)


def ascii_text(item):
    text = item.decode("ascii", "replace") if isinstance(item, bytes) else item
    if not text.isascii():
        raise Failure("the input has non-ASCII characters: tokens and Base64 text have none")
    return text.strip()


def open_token(token):
    try:
        plain = cipher().d1(token)
    except MALFORMED:
        raise Failure(MALFORMED_BODY)
    if plain is None:
        raise Failure(MISMATCH)
    return plain


def shown(args, data):
    if args.hex:
        return data.hex()
    if args.raw:
        return bytes(data)
    try:
        return data.decode(args.encoding)
    except UnicodeDecodeError:
        raise Failure("the result is not %s text; use --hex or --raw" % args.encoding)


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
        raise Failure("the input is not Base64 text")
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
        report.append("key header:        %s%s" % (
            header.hex(" "), " (%d of %d bytes)" % (len(header), HEADER_SIZE) if short else ""))
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
        raise Failure(problem)
    return "\n".join(report)


def write(result):
    if isinstance(result, bytes):
        sys.stdout.flush()
        sys.stdout.buffer.write(result)
    else:
        try:
            sys.stdout.write(result + "\n")
        except UnicodeEncodeError:
            raise Failure("standard output (%s) cannot show the result; use --hex or --raw"
                          % sys.stdout.encoding)
    sys.stdout.flush()


def chomp(data):
    return data[:-1] if data.endswith(b"\n") else data


def inputs(args):
    """(label for messages, input) pairs: text from the operand, bytes from standard input."""
    if args.input not in (None, "-"):
        yield "", args.input
    elif args.lines:
        for number, line in enumerate(sys.stdin.buffer, 1):
            yield "line %d: " % number, chomp(line)
    else:
        data = sys.stdin.buffer.read()
        yield "", data if args.keep_newline else chomp(data)


def build_parser():
    parser = Parser(prog=PROG, description=DESCRIPTION,
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(lines=False, keep_newline=False, raw=False)
    parser.add_argument("--version", action=ShowVersion, help="print the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, run, operand, summary):
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        sub.add_argument("input", nargs="?", metavar=operand,
                         help="the input; standard input when absent or '-'")
        sub.add_argument("--encoding", type=text_encoding, default="utf-8",
                         help="encoding of the text (default: utf-8)")
        return sub

    def text_command(name, run, summary):
        sub = command(name, run, "TEXT", summary)
        sub.add_argument("--keep-newline", action="store_true",
                         help="keep the trailing newline of standard input")
        sub.add_argument("--lines", action="store_true",
                         help="one text a line of standard input, one result a line")
        return sub

    def data_command(name, run, operand, summary):
        sub = command(name, run, operand, summary)
        sub.add_argument("--lines", action="store_true",
                         help="one input a line of standard input, one result a line")
        form = sub.add_mutually_exclusive_group()
        form.add_argument("--hex", action="store_true", help="print the bytes as hex digits")
        form.add_argument("--raw", action="store_true", help="write the bytes as they are")

    text_command("encrypt", encrypt, "print the token of a text")
    text_command("encode", encode, "print the Base64 text of a text").add_argument(
        "--no-padding", action="store_true", help='leave out the trailing "="')
    data_command("decrypt", decrypt, "TOKEN", "print the plaintext of a token")
    data_command("decode", decode, "B64", "print the data of Base64 text (either alphabet)")
    command("inspect", inspect, "TOKEN", "describe a token: tag, key header, plaintext")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.lines and args.input not in (None, "-"):
        parser.error("--lines reads standard input, so it takes no operand")
    if args.lines and args.raw:
        parser.error("--raw cannot mark where one result ends: use --hex with --lines")
    status = 0
    try:
        for label, item in inputs(args):
            try:
                write(args.run(args, item))
            except Failure as failure:
                print("%s: %s%s" % (PROG, label, failure), file=sys.stderr)
                status = 1
    except BrokenPipeError:
        # Whoever reads the output stopped (head, for example); Python must not complain at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return status
