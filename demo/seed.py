"""Writes the demo's sample gallery messages into a maildir, as Japanese mail programs send them."""
import email.header
import email.mime.image
import email.mime.multipart
import email.mime.text
import email.utils
import os
import sys
import time

demo = os.path.dirname(os.path.abspath(__file__))
maildir_new = sys.argv[1]

# Subject, body, pictures, and the charset of the body (ISO-2022-JP cannot hold ①).
samples = [
    ("夕焼け@acme", "1001#海辺の夕焼けです。\r\n風が気持ちよかった。", ["sunset.jpg"], "iso-2022-jp"),
    ("青い海@acme", "1002#夏の海①", ["sea.png"], "utf-8"),
    ("二枚@acme", "1003＃最後の写真が選ばれます", ["sea.png", "sunset.jpg"], "iso-2022-jp"),
    ("写真なし@acme", "1004#添付なし", [], "iso-2022-jp"),
    ("お知らせ", "ギャラリー宛てではないメールです。", [], "iso-2022-jp"),
]

for number, (subject, body, pictures, charset) in enumerate(samples, start=1):
    text = email.mime.text.MIMEText(body.replace("\r\n", "\n"), "plain", charset)
    if pictures:
        message = email.mime.multipart.MIMEMultipart()
        message.attach(text)
        for name in pictures:
            with open(os.path.join(demo, name), "rb") as f:
                kind = "png" if name.endswith(".png") else "jpeg"
                part = email.mime.image.MIMEImage(f.read(), kind)
            part.add_header("Content-Disposition", "attachment", filename=name)
            message.attach(part)
    else:
        message = text
    message["Subject"] = email.header.Header(subject, "iso-2022-jp").encode()
    message["From"] = email.utils.formataddr(
        (str(email.header.Header("山田 太郎", "iso-2022-jp")), "yamada@example.jp"))
    message["To"] = "korv@example.jp"
    message["Date"] = email.utils.formatdate(time.time() - 3600 + number * 60, localtime=True)
    message["Message-ID"] = email.utils.make_msgid(domain="example.jp")
    raw = message.as_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    name = f"{1000000000 + number}.M{number}P1.demo"
    with open(os.path.join(maildir_new, name), "wb") as f:
        f.write(raw)
