#!/usr/bin/python3
"""What Python's email package reads from a message, laid out as the archive keeps it, and the
differences between that and an archived message folder.

    mail_reference.py RAW FOLDER    prints one line per difference, "class: detail"; none when equal

RAW holds the message as the POP3 server hands it out (CR LF). The archive's rules for choosing
the body and the attachments are applied to Python's reading of the message; texts are compared
after the same conversion to CP932 (Windows code page) that the program applies.
"""
import binascii
import codecs
import io
import os
import re
import sys
from email import policy
from email.feedparser import headerRE
from email.generator import BytesGenerator
from email.parser import BytesParser

CRLF = policy.compat32.clone(linesep="\r\n", max_line_length=0)

CP932_NAMES = {"shift_jis", "shift-jis", "sjis", "x-sjis", "cp932", "ms932", "windows-31j",
               "ms_kanji", "csshiftjis", "x-ms-cp932"}
MESSAGE_TYPES = {"message/rfc822", "message/news", "message/global"}
# Unicode text from Unix and Mac mailers uses the JIS reading of a few characters that CP932
# holds only under their Windows code points.
JIS_READINGS = str.maketrans("\u301c\u2212\u2016\u2014\u00a2\u00a3\u00ac",
                             "\uff5e\uff0d\u2225\u2015\uffe0\uffe1\uffe2")


def crlf(data):
    return re.sub(rb"\r\n|\r|\n", b"\r\n", data)


def to_cp932(text):
    return text.translate(JIS_READINGS).encode("cp932", "replace")


def guess_to_cp932(data):
    """Text of no declared charset: ISO-2022-JP by its escapes, UTF-8 when valid, else CP932."""
    eight = any(b >= 0x80 for b in data)
    if not eight:
        if any(b in (0x1B, 0x0E, 0x0F) for b in data):
            return to_cp932(data.decode("iso-2022-jp", "replace"))
        return data
    try:
        return to_cp932(data.decode("utf-8"))
    except UnicodeDecodeError:
        return data


def text_to_cp932(data, charset):
    charset = (charset or "").lower()
    if charset in ("", "us-ascii", "ascii"):
        return guess_to_cp932(data)
    if charset in CP932_NAMES:
        return data
    try:
        codecs.lookup(charset)
    except LookupError:
        return data  # a charset nobody knows: taken as CP932 already
    return to_cp932(data.decode(charset, "replace"))


def header_of(raw):
    """The header as Python's parser takes it: the lines up to the first that is no header."""
    end = 0
    for line in io.BytesIO(raw):
        if not headerRE.match(line.decode("ascii", "surrogateescape")):
            break
        end += len(line)
    return raw[:end]


def effective_type(part):
    # A multipart whose boundaries never came is its content as text.
    if part.get_content_maintype() == "multipart" and not part.is_multipart():
        return "text/plain"
    return part.get_content_type()


def leaves(part):
    if part.get_content_maintype() == "multipart" and part.is_multipart():
        for sub in part.get_payload():
            yield from leaves(sub)
    else:
        yield part


def is_attachment_disposition(part):
    return part.get_content_disposition() == "attachment"


def body_candidate(part):
    return (effective_type(part).startswith("text/") and part.get_filename() is None
            and not is_attachment_disposition(part))


def plain_body_parts(part, out):
    if part.get_content_maintype() == "multipart" and part.is_multipart():
        alternative = part.get_content_type() == "multipart/alternative"
        for sub in part.get_payload():
            before = len(out)
            plain_body_parts(sub, out)
            if alternative and len(out) > before:
                return
        return
    if body_candidate(part) and effective_type(part) == "text/plain":
        out.append(part)


def payload_bytes(part):
    data = part.get_payload(decode=True)
    if data is None:
        data = part.get_payload()
    if isinstance(data, str):
        data = data.encode("ascii", "surrogateescape")
    return data


def flatten(message):
    out = io.BytesIO()
    BytesGenerator(out, mangle_from_=False, policy=CRLF).flatten(message)
    return out.getvalue()


def message_part_bytes(part):
    """An attached message as Python writes it back; a message without a header is its text."""
    inner = part.get_payload(0) if part.is_multipart() else None
    if inner is None:
        return payload_bytes(part)
    if not inner.keys():
        return payload_bytes(inner)
    return flatten(inner)


def uu_blocks(text):
    """The uuencoded blocks ("begin 644 name" ... "end") inside a plain text, decoded."""
    blocks = []
    lines = text.split(b"\n")
    i = 0
    while i < len(lines):
        line = lines[i].rstrip(b"\r\n")
        m = re.match(rb"begin ([0-7]{3,4}) (.+)$", line)
        if m:
            for j in range(i + 1, len(lines)):
                if lines[j].rstrip(b"\r\n") == b"end":
                    data = b""
                    for enc in lines[i + 1:j]:
                        enc = enc.rstrip(b"\r\n")
                        if not enc:
                            continue
                        try:
                            data += binascii.a2b_uu(enc)
                        except binascii.Error:
                            n = (((enc[0] - 32) & 63) * 4 + 5) // 3
                            data += binascii.a2b_uu(enc[:n])
                    blocks.append(data)
                    i = j
                    break
            else:
                break
        i += 1
    return blocks


def expected(raw):
    """(header, body, [(kind, bytes)]) as the archive should hold them."""
    message = BytesParser(policy=policy.compat32).parsebytes(raw)
    header = header_of(raw)
    if message.get_content_type() == "message/partial":
        rest = raw[len(header):]
        blank = re.match(rb"\r\n|\r|\n", rest)
        return header, crlf(rest[blank.end():] if blank else rest), []
    all_leaves = list(leaves(message))
    body_parts = []
    plain_body_parts(message, body_parts)
    if not body_parts:
        body_parts = [p for p in all_leaves if body_candidate(p)][:1]
    texts = [payload_bytes(p) for p in body_parts]
    body = b"\r\n".join(crlf(text_to_cp932(t, p.get_content_charset()))
                        for t, p in zip(texts, body_parts))
    files = []
    for part in all_leaves:
        if any(part is p for p in body_parts):
            continue
        kind = effective_type(part)
        if not (part.get_filename() is not None or is_attachment_disposition(part)
                or not kind.startswith("text/")):
            continue
        if kind in MESSAGE_TYPES:
            files.append(("message", message_part_bytes(part)))
        elif part.get_content_maintype() == "message" and part.is_multipart():
            flat = flatten(part)
            files.append(("part", flat[flat.find(b"\r\n\r\n") + 4:]))
        else:
            files.append(("part", payload_bytes(part)))
    for text, part in zip(texts, body_parts):
        if effective_type(part) == "text/plain":
            files.extend(("part", b) for b in uu_blocks(text))
    return header, body, files


def same_message(ours, theirs):
    """Equal as Python reads them, and ours with CR LF line ends only."""
    if re.search(rb"(?<!\r)\n", ours):
        return False
    parsed = BytesParser(policy=policy.compat32).parsebytes(ours)
    mine = payload_bytes(parsed) if not parsed.keys() else flatten(parsed)
    return mine == theirs


def body_class(ours, want):
    if not ours and want:
        return "body empty"
    if want.startswith(ours) and want[len(ours):len(ours) + 1] == b"\0":
        return "body cut at NUL"
    if len(ours) == len(want):
        odd = {ours[i] for i in range(len(ours)) if ours[i] != want[i]}
        odd |= {want[i] for i in range(len(want)) if ours[i] != want[i]}
        if odd <= {0x1A, 0x1C, 0x7F, ord("?")}:
            return "control codes and bad bytes"
    return "body"


def compare(raw, folder):
    header, body, files = expected(raw)
    diffs = []
    names = sorted(os.listdir(folder))
    read = lambda name: open(os.path.join(folder, name), "rb").read()
    ours_header = read("header.txt") if "header.txt" in names else None
    if ours_header != header:
        cut = ours_header is not None and header.startswith(ours_header)
        diffs.append(("header cut" if cut else "header",
                      "%s bytes, Python %d" % (None if ours_header is None else len(ours_header),
                                               len(header))))
    ours_body = read("body.txt") if "body.txt" in names else b""
    if ours_body != body:
        diffs.append((body_class(ours_body, body),
                      "%d bytes, Python %d; first difference at %d" %
                      (len(ours_body), len(body),
                       next((i for i, (a, b) in enumerate(zip(ours_body, body)) if a != b),
                            min(len(ours_body), len(body))))))
    left = {n: read(n) for n in names if n not in ("header.txt", "body.txt")}
    for kind, want in files:
        match = next((n for n, data in left.items() if data == want), None)
        if match is None and kind == "message":
            match = next((n for n, data in left.items() if same_message(data, want)), None)
        if match is not None:
            del left[match]
            continue
        near = None
        for n, data in left.items():
            if kind == "message" and crlf(data) == crlf(want):
                near = (n, "attached message line ends")
            elif want.startswith(data) and len(want) - len(data) <= 2:
                near = (n, "base64 tail")
            elif kind == "message" and want.endswith(data):
                near = (n, "attached message")
            if near:
                break
        if near:
            del left[near[0]]
            diffs.append((near[1], "%s: %d bytes, Python %d" % (near[0], len(read(near[0])),
                                                                 len(want))))
        else:
            diffs.append(("missing " + ("attached message" if kind == "message" else "attachment"),
                          "%d bytes" % len(want)))
    for n, data in left.items():
        diffs.append(("extra file", "%s: %d bytes" % (n, len(data))))
    return diffs


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: mail_reference.py RAW FOLDER")
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    for cls, detail in compare(raw, sys.argv[2]):
        print("%s: %s" % (cls, detail))


if __name__ == "__main__":
    main()
