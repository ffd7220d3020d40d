#!/usr/bin/env python3
"""Writes the hostile shapes the decoders must stay cheap on as fuzz seeds:
an icon listing thousands of entries, an EXIF block whose sub-directory
pointers reach into one shared run of entries, a GIF of two tiny frames on a
huge logical screen and an AVIF whose primary has hundreds of auxiliary items
named again and again. Run from anywhere; the files go to tests/fuzz/seeds/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, '..', 'fixtures')


def write(target, name, data):
    folder = os.path.join(HERE, 'seeds', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def icon_dib(n, rgb):
    row = (n + 31) // 32 * 4
    head = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 1, 0, 0, 0, 0, 2, 0)
    return head + struct.pack('<II', 0, rgb) + b'\xff' * row * n + b'\x00' * row * n


def many_entry_icon(count=2000):
    """`count` entries sharing one 16 x 16 DIB, the last one a PNG."""
    dib = icon_dib(16, 0xFF0000)
    with open(os.path.join(FIXTURES, 'png_palette_trns.png'), 'rb') as f:
        png = f.read()
    data_at = 6 + 16 * count
    out = struct.pack('<HHH', 0, 1, count)
    for i in range(count):
        if i == count - 1:
            out += struct.pack('<BBBBHHII', 4, 2, 0, 0, 1, 32, len(png), data_at + len(dib))
        else:
            out += struct.pack('<BBBBHHII', 16, 16, 0, 0, 1, 1, len(dib), data_at)
    return out + dib + png


def shared_run_exif(c=1024):
    """A TIFF structure whose EXIF pointers reach into IFD0's own entries."""
    m = 2 * c + 4
    b = bytearray(b'II*\x00\x08\x00\x00\x00')
    b += struct.pack('<H', c)
    for j in range(m // 2):
        b += struct.pack('<HHI', 0x9000 + j % 16, 7, 4) + struct.pack('<I', c << 16)
        nxt = 10 + 12 * (2 * j + 2) + 10
        b += struct.pack('<HHII', 34665, 4, 1, nxt)
    b += b'\x00\x00\x00\x00'
    return bytes(b)


def jpeg_with_exif(tiff):
    with open(os.path.join(FIXTURES, 'jpeg_gray.jpg'), 'rb') as f:
        jpeg = f.read()
    body = b'Exif\x00\x00' + tiff
    assert len(body) + 2 <= 0xFFFF
    return jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body + jpeg[2:]


def huge_screen_gif(w=4096, h=4096):
    """Two 1 x 1 frames, the second restored to transparent."""
    out = b'GIF89a' + struct.pack('<HH', w, h) + bytes([0x81, 0, 0])
    out += bytes([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])
    for left, top, disposal in ((0, 0, 1), (w - 1, h - 1, 2)):
        out += bytes([0x21, 0xF9, 4, (disposal << 2) | 1]) + struct.pack('<H', 10) + b'\x00\x00'
        out += b'\x2c' + struct.pack('<HHHH', left, top, 1, 1) + b'\x00'
        # LZW, 2-bit codes widened to 3: clear, index 1, end
        out += bytes([2, 2, 0x0C, 0x0A, 0])
    return out + b';'


def box(kind, body):
    return struct.pack('>I', 8 + len(body)) + kind + body


def full_box(kind, body, version=0, flags=0):
    return box(kind, struct.pack('>I', (version << 24) | flags) + body)


def many_auxiliary_avif(others=300, repeats=3):
    """A primary with `others` depth-map items, each named `repeats` times,
    whose bytes lie outside the file, and an alpha item last."""
    payload = bytes([0x12, 0x00, 0x0A, 0x0B, 0x00, 0x00, 0x00, 0x24, 0xC4, 0xFF, 0xDF])
    mdat = payload * 2
    ftyp = box(b'ftyp', b'avif' + struct.pack('>I', 0) + b'avifmif1miaf')
    ids = [100 + k for k in range(others)]

    def meta(base):
        hdlr = full_box(b'hdlr', struct.pack('>I', 0) + b'pict' + b'\x00' * 13)
        pitm = full_box(b'pitm', struct.pack('>H', 1))
        locs = [(1, 0, 11)] + [(i, 1000000, 11) for i in ids] + [(2, 11, 11)]
        iloc = bytes([0x44, 0x40]) + struct.pack('>H', len(locs))
        for i, off, length in locs:
            iloc += struct.pack('>HHIHII', i, 0, base, 1, off, length)
        iloc = full_box(b'iloc', iloc)
        infes = [full_box(b'infe', struct.pack('>HH', i, 0) + b'av01' + b'\x00', 2)
                 for i in [1] + ids + [2]]
        iinf = full_box(b'iinf', struct.pack('>H', len(infes)) + b''.join(infes))
        refs = b''
        for _ in range(repeats):
            for i in ids:
                refs += box(b'auxl', struct.pack('>HHH', i, 1, 1))
        refs += box(b'auxl', struct.pack('>HHH', 2, 1, 1))
        iref = full_box(b'iref', refs)
        ispe = full_box(b'ispe', struct.pack('>II', 64, 48))
        av1c = box(b'av1C', bytes([0x81, 0x00, 0x0C, 0x00]))
        alpha = full_box(b'auxC', b'urn:mpeg:mpegB:cicp:systems:auxiliary:alpha\x00')
        depth = full_box(b'auxC', b'urn:mpeg:hevc:2015:auxid:2\x00')
        ipco = box(b'ipco', ispe + av1c + alpha + depth)
        assoc = [(1, [1, 0x82])] + [(i, [1, 0x82, 4]) for i in ids] + [(2, [1, 0x82, 3])]
        ipma = struct.pack('>I', len(assoc))
        for i, props in assoc:
            ipma += struct.pack('>HB', i, len(props)) + bytes(props)
        iprp = box(b'iprp', ipco + full_box(b'ipma', ipma))
        return full_box(b'meta', hdlr + pitm + iloc + iinf + iref + iprp)

    meta_size = len(meta(0))
    return ftyp + meta(len(ftyp) + meta_size + 8) + box(b'mdat', mdat)


def main():
    ico = many_entry_icon()
    write('fuzz_load', 'ico_many_entries.ico', ico)
    write('fuzz_decoders', 'ico_many_entries.ico', ico)
    exif = jpeg_with_exif(shared_run_exif())
    write('fuzz_decoders', 'exif_shared_run.jpg', exif)
    write('fuzz_load', 'exif_shared_run.jpg', exif)
    write('fuzz_load', 'gif_huge_screen.gif', huge_screen_gif())
    avif = many_auxiliary_avif()
    write('fuzz_avif_layer', 'avif_many_auxiliaries.avif', avif)
    write('fuzz_load', 'avif_many_auxiliaries.avif', avif)


if __name__ == '__main__':
    main()
