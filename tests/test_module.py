"""The module's surface: registration order, text signatures, the two plain functions."""

import inspect

import numpy as np
import pytest

import _tessalumen

TRANSFORM_NAMES = [
    "Resize", "LongestMaxSize", "RandomCrop", "RandomResizedCrop", "HorizontalFlip", "VerticalFlip",
    "CenterCrop", "PadIfNeeded", "CoarseDropout", "ColorJitter", "Affine", "RandomRotation",
    "GaussianNoise", "Sharpen", "Perspective", "GridDistortion", "GaussianBlur", "Grayscale", "Invert",
    "Solarize", "Posterize", "Normalize",
]

# Callables known to the module so far, in registration order; later entry
# points join these lists as they are built.
MODULE_SIGNATURES = {
    "Pipeline": '(specs, seed, mode="reference", targets=None)',
    "registered_transform_names": "()",
    "boundary": "(value)",
    "read_image": '(path, mode="rgb", max_pixels=..., max_encoded_bytes=None)',
    "decode_image": '(data, mode="rgb", max_pixels=..., max_encoded_bytes=None)',
    "encode_image": "(image, format, quality=None, compression=None)",
    "write_image": "(path, image, format, quality=None, compression=None)",
}
PIPELINE_METHOD_SIGNATURES = {
    "apply_targets": "($self, bindings, key=None)",
    "_restore": "(specs, seed, mode, targets, next_key)",
    "_snapshot_next_key": "($self)",
}


def test_registration_order_and_text_signatures():
    assert _tessalumen.__name__ == "_tessalumen"
    assert _tessalumen.__doc__ == ""
    public = [name for name in vars(_tessalumen) if not name.startswith("__")]
    assert public == list(MODULE_SIGNATURES)
    for name, signature in MODULE_SIGNATURES.items():
        assert getattr(_tessalumen, name).__text_signature__ == signature, name
    assert not _tessalumen.Pipeline.__doc__

    methods = [name for name in vars(_tessalumen.Pipeline) if not name.startswith("__")]
    assert methods == list(PIPELINE_METHOD_SIGNATURES)
    for name, signature in PIPELINE_METHOD_SIGNATURES.items():
        assert getattr(_tessalumen.Pipeline, name).__text_signature__ == signature, name
    assert isinstance(inspect.getattr_static(_tessalumen.Pipeline, "_restore"), staticmethod)
    assert str(inspect.signature(_tessalumen.Pipeline)) == "(specs, seed, mode='reference', targets=None)"


def test_registered_transform_names_is_a_fresh_list_each_time():
    names = _tessalumen.registered_transform_names()
    assert names == TRANSFORM_NAMES
    names.clear()
    assert _tessalumen.registered_transform_names() == TRANSFORM_NAMES


@pytest.mark.parametrize(
    "value", [None, 0, 2**80, "text", b"", [1], (), {"a": 1}, object(), np.zeros(3), _tessalumen]
)
def test_boundary_returns_the_very_object(value):
    assert _tessalumen.boundary(value) is value
    assert _tessalumen.boundary(value=value) is value


@pytest.mark.parametrize(
    "call",
    [
        lambda: _tessalumen.boundary(),
        lambda: _tessalumen.boundary(1, 2),
        lambda: _tessalumen.boundary(1, value=2),
        lambda: _tessalumen.boundary(other=1),
        lambda: _tessalumen.registered_transform_names(1),
    ],
)
def test_wrong_argument_counts_raise_type_error(call):
    with pytest.raises(TypeError):
        call()
