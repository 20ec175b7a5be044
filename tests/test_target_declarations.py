"""Target and output declarations: every message, in the order the checks run."""

import pytest

from _tessalumen import Pipeline


def image(**changes):
    d = {"role": "image", "carrier": "array", "outputs": [{"type": "return_array"}]}
    d.update(changes)
    return {k: v for k, v in d.items() if v is not DROP}


def mask(**changes):
    return image(**{"role": "mask", "fill": 0, **changes})


DROP = object()


class FailingIndex:
    def __index__(self):
        raise ValueError("not a label")


def build(*targets, specs=()):
    return Pipeline(list(specs), 0, targets=list(targets))


@pytest.mark.parametrize(
    "target",
    [
        image(),
        image(fill="x"),  # an image's fill is never read
        image(max_pixels=None, max_encoded_bytes=None, decode_mode=None, name=None),
        image(carrier="path", decode_mode="gray", max_pixels=1, max_encoded_bytes=2**64 - 1),
        image(carrier="encoded", decode_mode="rgb", name="photo"),
        mask(fill=255, outputs=[{"type": "write"}, {"type": "encode", "format": "png", "compression": 9}]),
        mask(fill=True),
        image(outputs=[
            {"type": "return_tensor", "compression": None, "name": "t"},
            {"type": "encode", "format": "jpeg", "quality": 0},
            {"type": "encode", "format": "png"},
            {"type": "write", "quality": 80},
            {"type": "write", "format": "png", "quality": 80, "compression": 3},
            {"type": "return_array", "format": None, "quality": None},
        ]),
    ],
)
def test_accepted_declarations(target):
    build(target)


RETURN_OPTIONS = "return outputs do not accept codec options"
FORMAT = "format must be 'jpeg' or 'png'"
OUTPUT_TYPE = "output type must be 'return_array', 'return_tensor', 'encode', or 'write'"
MASK_FILL = "Mask fill must be an integer in [0, 255]"
DECODE_ONLY = "decode_mode is only valid for encoded/path images"


def output(**o):
    return image(outputs=[o])


@pytest.mark.parametrize(
    "target, error, message",
    [
        (5, TypeError, "'int' object cannot be converted to 'dict'"),
        (image(role=DROP), ValueError, "missing transform field: role"),
        (image(role="Image"), ValueError, "target role must be 'image' or 'mask'"),
        (image(role=1), TypeError, "'int' object cannot be converted to 'str'"),
        (mask(fill=DROP), ValueError, "missing transform field: fill"),
        (mask(fill=300), ValueError, MASK_FILL),
        (mask(fill=-1), ValueError, MASK_FILL),
        (mask(fill="0"), ValueError, MASK_FILL),
        (mask(fill=None), ValueError, MASK_FILL),
        (mask(fill=FailingIndex()), ValueError, MASK_FILL),
        (image(outputs=DROP), ValueError, "missing transform field: outputs"),
        (image(outputs=({"type": "return_array"},)), TypeError, "'tuple' object cannot be converted to 'list'"),
        (image(outputs=[]), ValueError, "a target requires at least one output"),
        # outputs are parsed before the carrier is matched
        (image(outputs=[], carrier="file"), ValueError, "a target requires at least one output"),
        (image(carrier=DROP), ValueError, "missing transform field: carrier"),
        (image(max_pixels=-1), OverflowError, "can't convert negative int to unsigned"),
        (image(max_pixels=0, max_encoded_bytes=0), ValueError, "max_pixels must be positive or None"),
        (image(max_encoded_bytes=0), ValueError, "max_encoded_bytes must be positive or None"),
        (image(max_pixels=0, carrier="file"), ValueError, "max_pixels must be positive or None"),
        (image(max_pixels=1), ValueError, "Array does not accept decode limits"),
        (image(max_encoded_bytes=1), ValueError, "Array does not accept decode limits"),
        (image(carrier="file"), ValueError, "source must be 'array', 'encoded', or 'path'"),
        (image(carrier="Path"), ValueError, "source must be 'array', 'encoded', or 'path'"),
        (image(decode_mode="gray"), ValueError, DECODE_ONLY),
        (mask(carrier="path", decode_mode="rgb"), ValueError, DECODE_ONLY),
        (image(carrier="path", decode_mode="rgba"), ValueError, "decode_mode must be rgb or gray"),
        (image(carrier="path", decode_mode=3), TypeError, "'int' object cannot be converted to 'str'"),
        (image(name=5), TypeError, "'int' object cannot be converted to 'str'"),
        # output declarations
        (image(outputs=["return_array"]), TypeError, "'str' object cannot be converted to 'dict'"),
        (output(), ValueError, "missing transform field: type"),
        (output(type="return_array", quality=90), ValueError, RETURN_OPTIONS),
        (output(type="return_tensor", format="png"), ValueError, RETURN_OPTIONS),
        (output(type="return_array", compression=0), ValueError, RETURN_OPTIONS),
        (output(type="encode"), ValueError, "Encode requires a format"),
        (output(type="encode", format="jpg"), ValueError, FORMAT),
        (output(type="encode", format="PNG"), ValueError, FORMAT),
        (output(type="write", format="gif"), ValueError, FORMAT),
        (output(type="encode", format="png", quality=90), ValueError, "quality is only valid for JPEG"),
        (output(type="encode", format="jpeg", compression=1), ValueError, "compression is only valid for PNG"),
        (output(type="encode", format="png", quality=300), OverflowError, "out of range integral type conversion attempted"),
        (output(type="copy"), ValueError, OUTPUT_TYPE),
        # every key is read before the type is matched
        (output(type="copy", quality=300), OverflowError, "out of range integral type conversion attempted"),
        (output(type="copy", format=1), TypeError, "'int' object cannot be converted to 'str'"),
        (output(type="copy", name=1), TypeError, "'int' object cannot be converted to 'str'"),
        (mask(outputs=[{"type": "encode", "format": "jpeg"}]), ValueError, "Mask Encode output must use PNG"),
        (mask(outputs=[{"type": "write", "format": "jpeg"}]), ValueError, "Mask Write output must use PNG"),
        (mask(outputs=[{"type": "encode", "format": "gif"}]), ValueError, FORMAT),
    ],
)
def test_declaration_errors(target, error, message):
    with pytest.raises(error) as info:
        build(target)
    assert str(info.value) == message


def test_first_invalid_declaration_in_list_order_wins():
    with pytest.raises(ValueError, match="^target role must be"):
        build(image(), image(role="x"), image(carrier="x"))


@pytest.mark.parametrize(
    "targets, message",
    [
        # a target whose decode mode is gray cannot serve a pipeline that needs RGB
        ([image(carrier="path", decode_mode="gray")], "target 0: PadIfNeeded fill has three values and requires RGB"),
        ([mask(), image(carrier="encoded", decode_mode="gray")],
         "target 1: PadIfNeeded fill has three values and requires RGB"),
    ],
)
def test_decode_mode_reaches_the_compiler_as_a_channel_choice(targets, message):
    pad = {
        "type": "PadIfNeeded", "min_height": 8, "min_width": 8, "pad_height_divisor": None,
        "pad_width_divisor": None, "position": "center", "border_mode": "constant", "fill": [1, 2, 3],
    }
    with pytest.raises(ValueError) as info:
        build(*targets, specs=[pad])
    assert str(info.value) == message
    build(image(carrier="path"), specs=[pad])
