#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into seeds/ beside this file: the demo's messages, the
multipart layout of the tests' sample mails, and hand-written cases. Run again after a change."""
import base64
import binascii
import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
top = os.path.dirname(os.path.dirname(here))
seeds = os.path.join(here, "seeds")


def cp(text):
    return text.encode("cp932")


def b64(data):
    return base64.b64encode(data).decode()


def jis_word(text):
    return "=?ISO-2022-JP?B?" + b64(text.encode("iso-2022-jp")) + "?="


def write(target, name, data):
    folder = os.path.join(seeds, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000") + b"\x1f\x15\xc4\x89"
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xd9"


def sample(subject, body, files, extra=""):
    """The tests' messageWithAttachments(): a text part and base64 attachments."""
    m = ("From: sender@example.jp\r\nTo: korv@example.jp\r\nSubject: " + subject +
         "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0900\r\nMIME-Version: 1.0\r\n" + extra +
         "Content-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n"
         "--b0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n")
    for disposition, data in files:
        m += ("--b0\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64"
              "\r\nContent-Disposition: attachment; " + disposition + "\r\n\r\n" + b64(data) + "\r\n")
    return m + "--b0--\r\n"


# Whole messages: the demo's, as its server gets them, and the tests' kinds of mail.
messages = {}
with tempfile.TemporaryDirectory() as maildir:
    subprocess.run([sys.executable, os.path.join(top, "demo", "seed.py"), maildir], check=True)
    for i, name in enumerate(sorted(os.listdir(maildir)), start=1):
        with open(os.path.join(maildir, name), "rb") as f:
            messages["demo%d" % i] = f.read()
messages.update({
    "sample_jpg_png": sample("1001#story", "1001#story", [('filename="a.jpg"', JPEG),
                                                          ('filename="b.png"', PNG)]),
    "japanese_subject": sample(jis_word("夕焼け") + "@acme", "1002#海", [('filename="s.jpg"', JPEG)]),
    "rfc2231_names": sample("names", "x", [
        ("filename*0*=UTF-8''%E5%86%99%E7%9C%9F; filename*1=\"_1.png\"", PNG),
        ("filename*=Shift_JIS''%95%5C.jpg", JPEG),
        # ① in the NEC row of ISO-2022-JP, as Japanese mail programs write it
        ('filename="=?ISO-2022-JP?B?' + b64(b"\x1b$B-!\x1b(B") + '?=.jpg"', JPEG)]),
    "unsafe_names": sample("names", "x", [('filename="../../x.jpg"', JPEG),
                                          ('filename="C:\\\\a\\\\b.jpg"', JPEG),
                                          ('filename="header.txt"', b"h"),
                                          ('filename=".."', b"d"), ('filename="x.jpg"', b"x")]),
    "uuencoded": ("Subject: uu\r\n\r\nbefore\r\nbegin 644 pic.jpg\r\n" +
                  binascii.b2a_uu(JPEG).decode().replace("\n", "\r\n") + "`\r\nend\r\nafter\r\n"),
    "rfc822_inside": ("Subject: fwd\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                      "boundary=\"o\"\r\n\r\n--o\r\nContent-Type: text/plain\r\n\r\nsee\r\n--o\r\n"
                      "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\ninner body\r\n"
                      "--o--\r\n"),
    "sjis_8bit": cp("Subject: 写真です\r\nFrom: 山田 <y@example.jp>\r\n"
                    "Content-Type: text/plain; charset=Shift_JIS\r\n\r\n本文①\r\n"),
})

# Broken mail as real corpora hold it, read leniently.
HEAD = "From: a@example.jp\r\nSubject: s\r\n"


def mixed(parts):
    return (HEAD + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n" +
            parts + "--b--\r\n")


messages.update({
    "long_header": "".join("Received: from r%d.example.jp\r\n\tby mx.example.jp; Mon, 7 Dec 2026"
                           "\r\n" % i for i in range(200)) + HEAD + "\r\nbody\r\n",
    "nul_in_body": HEAD + "\r\nbefore\0after\r\n",
    "base64_unpadded": mixed("--b\r\nContent-Type: application/pdf; name=d.pdf\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKJUVPRgo\r\n"),
    "type_without_subtype": HEAD + "Content-Type: text\r\n\r\nplain\r\n",
    "type_not_parsing": HEAD + "Content-Type: <html>\r\n\r\n<p>text\r\n",
    "type_empty": HEAD + "Content-Type: \r\n\r\nplain\r\n",
    "no_blank_line": HEAD + "This line is the body\r\nX-Not: a header\r\n\r\nmore\r\n",
    "part_without_blank_line": mixed("--b\r\nContent-Type: text/plain\r\nbody at once\r\n"
                                     "--b\r\nno header at all\r\n"),
    "rfc822_without_header": mixed("--b\r\nContent-Type: text/plain\r\n\r\nbounce\r\n--b\r\n"
                                   "Content-Type: message/rfc822\r\n\r\nOriginal text\r\n"),
    "multipart_without_boundaries": HEAD + "Content-Type: multipart/mixed; boundary=zz\r\n\r\n"
                                           "no boundary\r\n",
    "multipart_without_boundary_parameter": HEAD + "Content-Type: multipart/mixed\r\n\r\n"
                                                   "text\r\n--b\r\n\r\nmore\r\n",
    "control_codes": HEAD.encode() + b"Content-Type: text/plain; charset=utf-8\r\n\r\n"
                                     b"a\x1ab\x1cc\x7fd\xe8\xa1\xa8\r\n",
    "bad_bytes_euc_jp": HEAD.encode() + b"Content-Type: text/plain; charset=euc-jp\r\n\r\n"
                                        b"a\xffb\xc9\xbd\r\n",
    "bad_bytes_gb2312": HEAD.encode() + b"Content-Type: text/plain; charset=gb2312\r\n\r\n"
                                        b"a\xffb\r\n",
})

# A message split into message/partial parts, each saved as a header block, an empty line and
# its share of the enclosed message.
whole = sample("split", "1234#story", [('filename="pic.jpg"', JPEG * 8)],
               "Message-ID: <split1@example.jp>\r\n")
enclosed = whole[whole.index("MIME-Version"):]


def parts(total, order=None):
    size = -(-len(enclosed) // total)
    texts = []
    for n in range(1, total + 1):
        texts.append("From: sender@example.jp\r\nSubject: split\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: message/partial; id=\"split1@example.jp\"; number=%d; total=%d"
                     "\r\n\r\n" % (n, total) + enclosed[(n - 1) * size:n * size])
    return [texts[i] for i in (order or range(total))]


shutil.rmtree(seeds, ignore_errors=True)
for name, m in messages.items():
    write("fuzz_decode_message", name, m)
    write("fuzz_split_join", name, m)
write("fuzz_decode_message", "partial1", parts(2)[0])
for name, texts in {"split2": parts(2), "split3_out_of_order": parts(3, [2, 0, 1]),
                    "split3_missing": parts(3, [0, 2])}.items():
    write("fuzz_split_join", name, "\0".join(texts))

# Header texts: the first byte picks the charset (see the target).
for i, text in enumerate([
        "Subject: " + jis_word("夕焼け") + "@acme\r\nFrom: a@b\r\n",
        "Subject: =?UTF-8?Q?=E5=86=99=E7=9C=9F?=\r\n =?Shift_JIS?B?jsqQXg==?=\r\n",
        "Subject: plain\r\n\tfolded\r\nsubject: second\r\n",
        "\x1b$B$3$s$K$A$O\x1b(B\r\n",
        "=?ISO-2022-JP?B?GyRCLSEbKEI=?= =?utf-8?b?4pGg?=",
        "a\rb\nc\r\n",
]):
    write("fuzz_header_text", "text%d" % i, bytes([i]) + text.encode())
write("fuzz_header_text", "sjis", b"\x02" + cp("Subject: 写真①～髙\r\n"))
write("fuzz_header_text", "utf8", b"\x01" + "Subject: 写真①～髙".encode())

for i, name in enumerate([cp("写真.jpg"), b"../../x.jpg", b"C:\\a\\b.jpg", b"header.txt",
                          b" .hidden. ", b"a" * 300 + b".jpg", b"\x95\\.jpg", b"a\tb\x01.jpg",
                          b"..", cp("表") + b"/x.png"]):
    write("fuzz_attachment_name", "name%d" % i, name)

for i, addresses in enumerate(["yamada@example.jp", cp('"山田 太郎" <yamada@example.jp>'),
                               "a@example.jp, b@example.jp", "team: a@example.jp, b@example.jp;",
                               jis_word("山田") + " <y@example.jp>", "<a@b>\r\nRCPT TO:<c@d>",
                               "a@b\0c@d", "\"x\\\"y\" <x@y>, (comment) z@w"]):
    write("fuzz_addresses", "list%d" % i, addresses)

# Text files: 0 profile, 1 session, 2 counter, 3 number template, 4 comma text.
for name, data in {
        "ini_duplicates": b"\x00mail.example.jp\n[KORVANTO2]\r\nPop3Server=old\r\n[korvanto2]\r\n"
                          b"pop3server=second\r\n[Other]\r\nKey=v\r\n",
        "ini_quotes": b"\x00 \"q\" \n; comment\n[KORVANTO2]\nPop3Server = \"  spaced \" \nX=1",
        "ini_cp932": b"\x00" + cp("新しい値") + b"\n[" + cp("表") + b"]\r\nA=B\r\n[KORVANTO2]\r\n",
        "session": b"\x01acme\npath=/tmp\r\nmembersdb=\r\nnameorder=1\r\nFileNameTemplate=img###\r\n"
                   b"FileNameCounter=counter.txt\r\nDefaultImgFile=noimg.jpg\r\n",
        "session_unsafe": b"\x01../acme\npath=.\n",
        "counter_taken": b"\x02img##\n4\r\n",
        "counter_blank": b"\x02" + cp("写真####") + b"\n  +12 \r\n",
        "counter_none": b"\x02counter\n",
        "counter_last": b"\x02img###\n2147483646",
        "template": b"\x03\x39\x30\x00\x00img####" + cp("＃") + b".jpg",
        "template_negative": b"\x03\xff\xff\xff\xffa#b#c",
        "comma": b"\x04a.jpg,\"b, c.png\",\"\"\"q\"\"\", d.jpg,",
}.items():
    write("fuzz_text_files", name, data)
