"""Reading and writing the pickled Encoder state in tests, independently of
the extension: fixed-width little-endian fields, no header."""

import struct


class Fit:
    """An encoder's fit as plain Python: text_columns, text_to_code, code_to_text."""

    def __init__(self, text_columns, text_to_code, code_to_text):
        self.text_columns = list(text_columns)
        self.text_to_code = text_to_code  # {col: {text: code or None}}
        self.code_to_text = code_to_text  # {col: {code: text}}

    def __eq__(self, other):
        return isinstance(other, Fit) and vars(self) == vars(other)

    def __repr__(self):
        return f"Fit({self.text_columns}, {self.text_to_code}, {self.code_to_text})"


def parse(state: bytes):
    """The Fit in `state`, or None for an unfitted encoder. Strict: the test
    fails on anything malformed."""
    at = 0

    def take(fmt):
        nonlocal at
        (v,) = struct.unpack_from("<" + fmt, state, at)
        at += struct.calcsize(fmt)
        return v

    def text():
        nonlocal at
        n = take("Q")
        s = state[at : at + n].decode("utf-8")
        at += n
        return s

    fit = None
    if take("B") == 1:
        cols = [take("Q") for _ in range(take("Q"))]
        t2c = {}
        for _ in range(take("Q")):
            col = take("Q")
            t2c[col] = {}
            for _ in range(take("Q")):
                t = text()
                t2c[col][t] = take("Q") if take("B") else None
        c2t = {}
        for _ in range(take("Q")):
            col = take("Q")
            c2t[col] = {}
            for _ in range(take("Q")):
                code = take("Q")
                c2t[col][code] = text()
        fit = Fit(cols, t2c, c2t)
    assert take("I") == 0
    assert at == len(state), "trailing bytes"
    return fit


def build(fit) -> bytes:
    """The state bytes of a Fit (or of None), entries in dict order. Map
    arguments may also be lists of pairs, to write repeated keys."""

    def items(m):
        return m.items() if isinstance(m, dict) else m

    def text(s):
        b = s.encode("utf-8", "surrogatepass") if isinstance(s, str) else s
        return struct.pack("<Q", len(b)) + b

    if fit is None:
        return b"\0" + struct.pack("<I", 0)
    out = [b"\1", struct.pack("<Q", len(fit.text_columns))]
    out += [struct.pack("<Q", c) for c in fit.text_columns]
    t2c = list(items(fit.text_to_code))
    out.append(struct.pack("<Q", len(t2c)))
    for col, d in t2c:
        d = list(items(d))
        out.append(struct.pack("<QQ", col, len(d)))
        for t, code in d:
            out.append(text(t) + (b"\0" if code is None else b"\1" + struct.pack("<Q", code)))
    c2t = list(items(fit.code_to_text))
    out.append(struct.pack("<Q", len(c2t)))
    for col, d in c2t:
        d = list(items(d))
        out.append(struct.pack("<QQ", col, len(d)))
        for code, t in d:
            out.append(struct.pack("<Q", code) + text(t))
    out.append(struct.pack("<I", 0))
    return b"".join(out)


def fit_of(enc):
    return parse(enc.__getstate__())
