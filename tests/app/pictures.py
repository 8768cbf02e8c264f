#!/usr/bin/python3
"""Pictures as phones send them, for the gallery's publish copy; and what a copy shows.

make DIR: photo.jpg (stored sideways, orientation 6, GPS, XMP with a position, a maker note and
a body serial number), odd.jpg (the same at a size no lossless turn takes), broken.jpg (photo.jpg
with a sample precision no decoder reads), huge.jpg (photo.jpg declaring 60000x60000), shot.png (eXIf with GPS, XMP in an iTXt chunk),
sideways.ppm and exif.tiff (the pixels and EXIF of a HEIC to be stored with orientation 6),
bad.heic (an ftyp box and
nothing to decode), noimg.png (a default picture).
probe FILE: width, height and the colour of the pixel near the top-left corner.
In every scene the top-left corner is red and the rest blue.
"""
import sys
from PIL import Image, PngImagePlugin

XMP = (b'<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
       b'<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description '
       b'xmlns:exif="http://ns.adobe.com/exif/1.0/" exif:GPSLatitude="35,39.5N" '
       b'exif:GPSLongitude="139,44.5E"/></rdf:RDF></x:xmpmeta><?xpacket end="w"?>')


def scene(width, height):
    im = Image.new("RGB", (width, height), (0, 0, 255))
    im.paste((255, 0, 0), (0, 0, width // 4, height // 4))
    return im


def exif():
    ex = Image.Exif()
    ex[0x0110] = "KorvPhone 12"
    ex[0x0132] = "2026:12:07 09:00:00"
    ex[0x0112] = 6
    ex[0x8825] = {1: "N", 2: (35.0, 39.0, 30.0), 3: "E", 4: (139.0, 44.0, 30.0)}
    ex[0x8769] = {0x9003: "2026:12:07 09:00:00", 0x927C: b"KorvMaker serial=XK-4411",
                  0xA431: "BODY-0042"}
    return ex.tobytes()


def sideways_jpeg(path, width, height):
    scene(width, height).transpose(Image.Transpose.ROTATE_90).save(
        path, exif=exif(), quality=95)
    data = open(path, "rb").read()
    xmp = b"http://ns.adobe.com/xap/1.0/\0" + XMP
    segment = b"\xff\xe1" + (len(xmp) + 2).to_bytes(2, "big") + xmp
    open(path, "wb").write(data[:2] + segment + data[2:])


def make(folder):
    sideways_jpeg(folder + "/photo.jpg", 64, 48)
    sideways_jpeg(folder + "/odd.jpg", 50, 30)
    data = bytearray(open(folder + "/photo.jpg", "rb").read())
    sof = data.index(b"\xff\xc0")
    data[sof + 4] = 7
    open(folder + "/broken.jpg", "wb").write(bytes(data))
    data[sof + 4] = 8
    data[sof + 5:sof + 9] = (60000).to_bytes(2, "big") * 2
    open(folder + "/huge.jpg", "wb").write(bytes(data))
    info = PngImagePlugin.PngInfo()
    info.add_itxt("XML:com.adobe.xmp", XMP.decode())
    scene(64, 48).save(folder + "/shot.png", exif=exif(), pnginfo=info)
    scene(64, 48).transpose(Image.Transpose.ROTATE_90).save(folder + "/sideways.ppm")
    open(folder + "/exif.tiff", "wb").write(exif().removeprefix(b"Exif\0\0"))
    scene(32, 24).save(folder + "/noimg.png")
    open(folder + "/bad.heic", "wb").write(b"\0\0\0\x18ftypheic\0\0\0\0mif1heic" + b"\0" * 64)


def probe(path):
    im = Image.open(path).convert("RGB")
    print(im.size[0], im.size[1], *im.getpixel((2, 2)))


if __name__ == "__main__":
    make(sys.argv[2]) if sys.argv[1] == "make" else probe(sys.argv[2])
