"""The installer's icon: group 107 and its ten images (48, 32 and 16 pixels
in 16 and in 256 colours as bitmaps, 256 pixels as an 8-bit RGBA PNG, then
48, 32 and 16 pixels in 32 bits), made by a fixed recipe with Debian's
python3-pil from one square picture, or taken from an .ico that holds exactly
those ten."""

import io
import struct
from dataclasses import dataclass

from PIL import IcoImagePlugin, Image

import check_installer as layout

RT_ICON, RT_GROUP_ICON = layout.RT_ICON, layout.RT_GROUP_ICON
GROUP_ID = layout.ICON_GROUP_ID
# A pixel at least this opaque is drawn in a bitmap's colour image; the
# others are left to the transparency mask.
OPAQUE_FROM = 128


class IconError(Exception):
    """The file is not an icon or picture the installer's icon can be made of."""


@dataclass
class Entry:
    """One image of an .ico file, as its own header describes it."""

    index: int              # 1-based, in the file's order
    width: int
    height: int
    bits: int
    png: bool
    data: bytes


def _png_header(data):
    """(width, height, bit depth, colour type) from a PNG's IHDR."""
    if data[12:16] != b"IHDR":
        raise IconError("a PNG image without IHDR first")
    return struct.unpack_from(">IIBB", data, 16)


def _png_bits(depth, colour_type):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type, 1)
    return depth * channels


def read_icon_file(path):
    """The images of an .ico file; IconError when it is not one."""
    with open(path, "rb") as file:
        data = file.read()
    try:
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        if (reserved, kind) != (0, 1) or count == 0:
            raise IconError("no icon directory (the file does not start as an .ico does)")
        entries = []
        for index in range(count):
            length, offset = struct.unpack_from("<II", data, 6 + 16 * index + 8)
            image = data[offset:offset + length]
            if len(image) != length or length < 16:
                raise IconError(f"image {index + 1} lies beyond the end of the file")
            if image.startswith(layout.PNG_SIGNATURE):
                width, height, depth, colour_type = _png_header(image)
                entries.append(Entry(index + 1, width, height, _png_bits(depth, colour_type), True, image))
            else:
                header, width, height, _, bits = struct.unpack_from("<IiiHH", image, 0)
                if header < 40 or width <= 0 or height <= 0:
                    raise IconError(f"image {index + 1} is neither a PNG nor a bitmap")
                entries.append(Entry(index + 1, width, height // 2, bits, False, image))
    except struct.error:
        raise IconError("cut short") from None
    return entries


def group_107_differences(entries):
    """Why the images are not exactly the ten of icon group 107, stored as
    the installer stores them ([] when they are)."""
    wanted = [(size, size, bits) for size, bits, _ in layout.ICON_IMAGES]
    if [(e.width, e.height, e.bits) for e in entries] != wanted:
        return ["not the ten images of icon group 107"]
    differences = []
    for entry, (size, _, is_png) in zip(entries, layout.ICON_IMAGES):
        if entry.png != is_png:
            differences.append(f"image {entry.index} ({size}x{size}) is not stored as "
                               + ("PNG" if is_png else "a bitmap"))
        elif is_png:
            chunks = layout.png_chunks(entry.data)
            extra = {kind for kind, _ in chunks} & {"tIME", "tEXt", "zTXt", "iTXt"}
            if struct.unpack_from(">IIBB", chunks[0][1]) != (size, size, 8, 6) or extra:
                differences.append(f"image {entry.index} is not an 8-bit RGBA PNG without times or text")
    return differences


def largest_square(entries):
    """The image the ten are made of: the largest square one, the deepest of
    those when several are that large; None when none is square."""
    square = [e for e in entries if e.width == e.height]
    return max(square, key=lambda e: (e.width, e.bits)) if square else None


def picture_of_entry(path, entry):
    """One image of an .ico as a picture, decoded by the imaging library."""
    with open(path, "rb") as file:
        data = file.read()
    icon = IcoImagePlugin.IcoFile(io.BytesIO(data))
    offset = struct.unpack_from("<I", data, 6 + 16 * (entry.index - 1) + 12)[0]
    for position, described in enumerate(icon.entry):
        if described["offset"] == offset:
            picture = icon.frame(position)
            picture.load()
            return picture
    raise IconError(f"image {entry.index} cannot be decoded")


def open_picture(path):
    """A PNG picture; IconError when it is no readable PNG or not square."""
    try:
        picture = Image.open(path)
        picture.load()
    except (OSError, SyntaxError, ValueError) as error:
        raise IconError(f"not a readable PNG picture: {error}") from None
    if picture.format != "PNG":
        raise IconError(f"not a readable PNG picture: it is {picture.format}")
    return picture


def check_square(picture):
    if picture.width != picture.height:
        raise IconError(f"the picture is {picture.width}x{picture.height}; the icon needs a square one")


# --- The ten images ---------------------------------------------------------------

def _resized(picture, size):
    return picture.convert("RGBA").resize((size, size), Image.Resampling.LANCZOS)


def _mask(alpha, size):
    """The transparency mask: one bit a pixel, set where nothing is drawn,
    each row padded to 32 bits, bottom row first."""
    stride = (size + 31) // 32 * 4
    rows = []
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if alpha[y * size + x] < OPAQUE_FROM:
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    return b"".join(rows)


def _bitmap_header(size, bits, image_bytes):
    # The height counts the colour image and the mask.
    return struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, image_bytes, 0, 0, 0, 0)


def _palette_image(picture, size, bits):
    """A 16- or 256-colour bitmap: the alpha cut to on and off first, since
    such an image has only its mask; the drawn pixels in at most one colour
    fewer than the palette holds, undithered so that flat areas stay flat;
    the last colour black, for the pixels the mask leaves out."""
    resized = _resized(picture, size)
    alpha = resized.getchannel("A").tobytes()
    colours = 1 << bits
    drawn = Image.new("RGB", (size, size))
    drawn.paste(resized.convert("RGB"), mask=Image.frombytes("L", (size, size), bytes(
        255 if a >= OPAQUE_FROM else 0 for a in alpha)))
    quantised = drawn.quantize(colors=colours - 1, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette = quantised.getpalette()[:3 * (colours - 1)]
    palette += [0] * (3 * colours - len(palette))
    indices = quantised.tobytes()
    clear = colours - 1
    pixels = [index if a >= OPAQUE_FROM else clear for index, a in zip(indices, alpha)]
    quads = b"".join(bytes([palette[3 * i + 2], palette[3 * i + 1], palette[3 * i], 0]) for i in range(colours))
    stride = (size * bits + 31) // 32 * 4
    rows = []
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            value = pixels[y * size + x]
            if bits == 8:
                row[x] = value
            else:
                row[x // 2] |= value << (4 if x % 2 == 0 else 0)
        rows.append(bytes(row))
    colour = b"".join(rows)
    mask = _mask(alpha, size)
    return _bitmap_header(size, bits, len(colour) + len(mask)) + quads + colour + mask


def _true_colour_image(picture, size):
    """A 32-bit bitmap: blue, green, red, alpha, bottom row first."""
    resized = _resized(picture, size)
    red, green, blue, alpha = resized.split()
    rows = Image.merge("RGBA", (blue, green, red, alpha)).transpose(Image.Transpose.FLIP_TOP_BOTTOM).tobytes()
    mask = _mask(alpha.tobytes(), size)
    return _bitmap_header(size, 32, len(rows) + len(mask)) + rows + mask


def _png_image(picture, size):
    out = io.BytesIO()
    _resized(picture, size).save(out, format="PNG")
    return out.getvalue()


def ten_images(picture):
    """The ten images of icon group 107, in its order, from one square picture."""
    images = []
    for size, bits, is_png in layout.ICON_IMAGES:
        if is_png:
            images.append(_png_image(picture, size))
        elif bits == 32:
            images.append(_true_colour_image(picture, size))
        else:
            images.append(_palette_image(picture, size, bits))
    return images


def group_directory(images):
    """RT_GROUP_ICON 107: a header and one entry per image, icon ids 1 to 10,
    each described from the image's own header."""
    entries = []
    for icon_id, image in enumerate(images, 1):
        if image.startswith(layout.PNG_SIGNATURE):
            width, height, depth, colour_type = _png_header(image)
            planes, bits = 1, _png_bits(depth, colour_type)
        else:
            _, width, double_height, planes, bits = struct.unpack_from("<IiiHH", image, 0)
            height = double_height // 2
        colours = 1 << bits if bits < 8 else 0
        entries.append(struct.pack("<BBBBHHIH", width & 0xFF, height & 0xFF, colours, 0, planes, bits, len(image),
                                   icon_id))
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries)
