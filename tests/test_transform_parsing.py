"""Transform dictionaries: value conversions, enumerations and the reading order of keys."""

import numpy as np
import pytest

from _tessalumen import Pipeline

TARGETS = [{"role": "image", "carrier": "array", "outputs": [{"type": "return_array"}]}]

# One valid dictionary per transform; keys listed in the order they are read.
VALID = {
    "Resize": {"height": 8, "width": 8, "interpolation": "bilinear", "antialias": True},
    "LongestMaxSize": {"max_size": 8, "interpolation": "nearest", "antialias": False},
    "RandomCrop": {"height": 4, "width": 4},
    "RandomResizedCrop": {
        "height": 4, "width": 4, "scale": (0.5, 1.0), "ratio": (0.75, 1.25),
        "interpolation": "bilinear", "antialias": True,
    },
    "HorizontalFlip": {},
    "VerticalFlip": {},
    "CenterCrop": {"height": 4, "width": 4},
    "PadIfNeeded": {
        "min_height": 8, "min_width": None, "pad_height_divisor": None, "pad_width_divisor": 4,
        "position": "center", "border_mode": "constant", "fill": [0],
    },
    "CoarseDropout": {
        "num_holes_range": (1, 2), "hole_height_unit": "pixels", "hole_height_range": (2, 8),
        "hole_width_unit": "fraction", "hole_width_range": (0.1, 0.2), "fill": [0],
    },
    "ColorJitter": {"brightness": (0.8, 1.2), "contrast": (0.8, 1.2), "saturation": (0.8, 1.2), "hue": (-0.1, 0.1)},
    "Affine": {
        "degrees": (-10, 10), "translate": (0.1, 0.1), "scale": (0.9, 1.1), "shear": (-5, 5, -5, 5),
        "interpolation": "bilinear", "border_mode": "reflect101", "fill": [0],
    },
    "RandomRotation": {"degrees": (-10, 10), "interpolation": "nearest", "border_mode": "constant", "fill": [0]},
    "GaussianNoise": {"mean": (0, 0), "std": (1, 2), "per_channel": False},
    "Sharpen": {"alpha": (0.1, 0.3), "lightness": (0.9, 1.1)},
    "Perspective": {"scale": (0.05, 0.1), "interpolation": "bilinear", "border_mode": "constant", "fill": [0]},
    "GridDistortion": {
        "num_steps": 5, "distort_limit": (-0.3, 0.3), "interpolation": "bilinear",
        "border_mode": "constant", "fill": [0],
    },
    "GaussianBlur": {"kernel_size": 5, "sigma": (1.0, 1.0)},
    "Grayscale": {},
    "Invert": {},
    "Solarize": {"threshold": 128},
    "Posterize": {"bits": 4},
    "Normalize": {"mean": [0.5], "std": [0.25]},
}


def spec(type_name, **changes):
    d = {"type": type_name, **VALID[type_name]}
    for key, value in changes.items():
        if value is DROP:
            del d[key]
        else:
            d[key] = value
    return d


DROP = object()


def build(*specs):
    return Pipeline(list(specs), 0, targets=TARGETS)


def test_every_registered_transform_parses_and_compiles():
    build(*[spec(name) for name in VALID if name != "Normalize"], spec("Normalize"))


@pytest.mark.parametrize("name", [n for n in VALID if len(VALID[n]) > 1])
def test_first_missing_key_in_reading_order_is_reported(name):
    # Removing key i while every later key holds garbage must report key i:
    # the later keys are never read.
    keys = [k for k in VALID[name] if k != "max_pixel_value"]
    for i, key in enumerate(keys):
        d = spec(name)
        del d[key]
        for later in keys[i + 1:]:
            d[later] = object()
        with pytest.raises(ValueError, match=f"^missing transform field: {key}$"):
            build(d)


@pytest.mark.parametrize(
    "d, error, message",
    [
        ({"p": 0.5}, ValueError, "missing transform field: type"),
        ({"type": 5}, TypeError, "'int' object cannot be converted to 'str'"),
        ({"type": "resize"}, ValueError, "unknown transform type: resize"),
        ({"type": "Nope", "p": None}, TypeError, "must be real number, not NoneType"),
        ({"type": "Nope", "p": 0.5}, ValueError, "unknown transform type: Nope"),
        ({"type": "Invert", "p": "0.5"}, TypeError, "must be real number, not str"),
        ({"type": "Invert", "p": 1.5}, ValueError, "probability must be in [0, 1]"),
    ],
)
def test_type_and_probability(d, error, message):
    with pytest.raises(error) as info:
        build(d)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "d",
    [
        {"type": "Invert", "p": 1},
        {"type": "Invert", "p": True},
        {"type": "Invert", "p": np.float32(0.25)},
        {"type": "Invert", "p": np.int64(0)},
        {"type": "VerticalFlip", "name": "extra keys are ignored"},
        spec("Resize", height=np.uint16(8), width=True),
        spec("Resize", antialias=np.bool_(False)),
        spec("RandomResizedCrop", scale=np.array([0.5, 1.0]), ratio=[1, 1]),
        spec("PadIfNeeded", fill=b"\x01\x02\x03"),
        spec("PadIfNeeded", fill=bytearray([7])),
        spec("Normalize", max_pixel_value=1),
        spec("Normalize", mean=(0.5, 0.5, 0.5), std=np.array([1.0, 2.0, 3.0])),
        spec("CoarseDropout", hole_width_unit="pixels", hole_width_range=(np.int8(1), 2)),
    ],
)
def test_accepted_values(d):
    build(d)


UNSIGNED_OVERFLOW = "can't convert negative int to unsigned"
BYTE_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "d, error, message",
    [
        # size
        (spec("Resize", height=8.0), TypeError, "'float' object cannot be interpreted as an integer"),
        (spec("Resize", height="8"), TypeError, "'str' object cannot be interpreted as an integer"),
        (spec("Resize", height=-1), OverflowError, UNSIGNED_OVERFLOW),
        (spec("Resize", width=2**64), OverflowError, None),
        (spec("PadIfNeeded", min_height=DROP), ValueError, "missing transform field: min_height"),
        (spec("PadIfNeeded", pad_width_divisor=-4), OverflowError, UNSIGNED_OVERFLOW),
        # byte
        (spec("Solarize", threshold=256), OverflowError, BYTE_RANGE),
        (spec("Posterize", bits=-1), OverflowError, BYTE_RANGE),
        (spec("Posterize", bits=2**70), OverflowError, BYTE_RANGE),
        (spec("Solarize", threshold=1.0), TypeError, "'float' object cannot be interpreted as an integer"),
        # flag
        (spec("Resize", antialias=1), TypeError, "'int' object cannot be converted to 'bool'"),
        (spec("GaussianNoise", per_channel=None), TypeError, "'NoneType' object cannot be converted to 'bool'"),
        # pair, quad, count pair
        (spec("RandomRotation", degrees=5), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (spec("RandomRotation", degrees={1: 1, 2: 2}), TypeError, "'dict' object cannot be converted to 'Sequence'"),
        (spec("RandomRotation", degrees=(1, 2, 3)), ValueError, "expected a sequence of length 2 (got 3)"),
        (spec("ColorJitter", hue=[]), ValueError, "expected a sequence of length 2 (got 0)"),
        (spec("ColorJitter", hue=(0, None)), TypeError, "must be real number, not NoneType"),
        (spec("Affine", shear=(1, 2)), ValueError, "expected a sequence of length 4 (got 2)"),
        (spec("CoarseDropout", num_holes_range=(1.5, 2)), TypeError, "'float' object cannot be interpreted as an integer"),
        (spec("CoarseDropout", hole_height_range=(0.5, 2)), TypeError, "'float' object cannot be interpreted as an integer"),
        # byte list, real list
        (spec("PadIfNeeded", fill="ab"), TypeError, "a str cannot be converted to a list of values"),
        (spec("PadIfNeeded", fill=5), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (spec("PadIfNeeded", fill=[0, 256]), OverflowError, BYTE_RANGE),
        (spec("PadIfNeeded", fill=[]), ValueError, "fill requires one or three values"),
        (spec("Normalize", mean="0"), TypeError, "a str cannot be converted to a list of values"),
        (spec("Normalize", std=[1.0, "2"]), TypeError, "must be real number, not str"),
        (spec("Normalize", max_pixel_value=None), TypeError, "must be real number, not NoneType"),
    ],
)
def test_conversion_errors(d, error, message):
    with pytest.raises(error) as info:
        build(d)
    if message is not None:
        assert str(info.value) == message


INTERPOLATION = "interpolation must be 'nearest' or 'bilinear'"
BORDER_MODE = "border_mode must be 'constant' or 'reflect101'"
POSITION = "position must be 'center', 'top_left', 'top_right', 'bottom_left', 'bottom_right', or 'random'"


@pytest.mark.parametrize(
    "d, error, message",
    [
        (spec("Resize", interpolation="Bilinear"), ValueError, INTERPOLATION),
        (spec("Resize", interpolation="bilinear "), ValueError, INTERPOLATION),
        (spec("Resize", interpolation=1), TypeError, "'int' object cannot be converted to 'str'"),
        # a bad interpolation is read before the missing antialias
        (spec("Resize", interpolation="cubic", antialias=DROP), ValueError, INTERPOLATION),
        (spec("Affine", border_mode="reflect"), ValueError, BORDER_MODE),
        (spec("PadIfNeeded", position="middle"), ValueError, POSITION),
        (spec("CoarseDropout", hole_height_unit="px"), ValueError, "hole_height_unit must be 'fraction' or 'pixels'"),
        # the unit is matched before the range is looked up
        (
            spec("CoarseDropout", hole_width_unit="Pixels", hole_width_range=DROP),
            ValueError,
            "hole_width_unit must be 'fraction' or 'pixels'",
        ),
        (spec("CoarseDropout", hole_height_range=DROP), ValueError, "missing transform field: hole_height_range"),
    ],
)
def test_enumerations(d, error, message):
    with pytest.raises(error) as info:
        build(d)
    assert str(info.value) == message


def test_first_failing_step_in_list_order_wins():
    with pytest.raises(ValueError, match="^missing transform field: bits$"):
        build(spec("Invert"), {"type": "Posterize"}, {"type": "nope"})
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'dict'"):
        build(spec("Invert"), 7, {"type": "nope"})


@pytest.mark.parametrize(
    "d, flipped_share",
    [
        ({"type": "HorizontalFlip"}, "some"),
        ({"type": "VerticalFlip"}, "all"),
        ({"type": "HorizontalFlip", "p": 1}, "all"),
        ({"type": "VerticalFlip", "p": 0.0}, "none"),
        ({"type": "VerticalFlip", "p": 0.25}, "some"),
    ],
)
def test_default_probabilities_show_in_the_results(d, flipped_share):
    image = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
    axis = 1 if d["type"] == "HorizontalFlip" else 0
    pipeline = build(d)
    flips = [
        np.array_equal(pipeline.apply_targets((image,), key=key)[0][0], np.flip(image, axis)) for key in range(64)
    ]
    assert {"none": not any(flips), "all": all(flips), "some": 0 < sum(flips) < 64}[flipped_share]
