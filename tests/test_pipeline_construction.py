"""Pipeline construction order, _restore, the call-key snapshot and lock poisoning."""

import ctypes
import gc
import sys

import numpy as np
import pytest

import _tessalumen
from _tessalumen import Pipeline

IMAGE = {"role": "image", "carrier": "array", "outputs": [{"type": "return_array"}]}
ENCODED_IMAGE = {"role": "image", "carrier": "array", "outputs": [{"type": "encode", "format": "png"}]}
WRITTEN_MASK = {"role": "mask", "fill": 0, "carrier": "array", "outputs": [{"type": "write"}]}
INVERT = {"type": "Invert"}
MODE = "mode must be 'reference', 'compiled', 'staged-fresh', or 'staged-reuse'"
U64_MAX = 2**64 - 1


def normalize(p):
    return {"type": "Normalize", "p": p, "mean": [0.5], "std": [0.5]}


@pytest.mark.parametrize("mode", ["reference", "compiled", "staged-fresh", "staged-reuse"])
def test_every_mode_constructs_and_starts_at_key_zero(mode):
    assert Pipeline([INVERT], 7, mode, [IMAGE])._snapshot_next_key() == 0
    assert Pipeline(specs=[], seed=7, mode=mode, targets=[IMAGE])._snapshot_next_key() == 0


@pytest.mark.parametrize(
    "seed", [0, U64_MAX, True, np.uint64(U64_MAX), np.int8(3)]
)
def test_seed_accepts_every_integer_in_range(seed):
    Pipeline([], seed, targets=[IMAGE])


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        # argument conversion comes first, in signature order
        (([], "1"), {}, TypeError, "argument 'seed': 'str' object cannot be interpreted as an integer"),
        (([], 1.0), {"mode": 5}, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (([], -1), {}, OverflowError, "can't convert negative int to unsigned"),
        (([], 2**64), {"targets": None}, OverflowError, None),
        (([], 0, 5), {}, TypeError, "argument 'mode': 'int' object cannot be converted to 'str'"),
        # then the numbered construction steps
        (([], 0), {}, ValueError, "targets are required"),
        (([], 0, "bad"), {"targets": None}, ValueError, "targets are required"),
        (("not a list", 0, "bad"), {"targets": (IMAGE,)}, TypeError, "'tuple' object cannot be converted to 'list'"),
        (([], 0, "bad"), {"targets": []}, ValueError, "a pipeline requires at least one target"),
        (([5], 0, "bad"), {"targets": [{"role": "x"}]}, ValueError, "target role must be 'image' or 'mask'"),
        (([5], 0, "Reference"), {"targets": [IMAGE]}, ValueError, MODE),
        ((None, 0, "reference"), {"targets": [IMAGE]}, TypeError, "'NoneType' object cannot be converted to 'list'"),
        (((INVERT,), 0), {"targets": [IMAGE]}, TypeError, "'tuple' object cannot be converted to 'list'"),
        (([INVERT, [INVERT]], 0), {"targets": [IMAGE]}, TypeError, "'list' object cannot be converted to 'dict'"),
        # compilation errors keep their message and map Invalid to ValueError
        (([normalize(1.0), INVERT], 0), {"targets": [IMAGE]}, ValueError, "Normalize must be terminal"),
        (([{"type": "Posterize", "bits": 9}], 0), {"targets": [IMAGE]}, ValueError, "Posterize bits must be in [1, 8]"),
        # encoded outputs cannot take float results
        (([normalize(0.5)], 0), {"targets": [ENCODED_IMAGE]}, ValueError,
         "encoded pipeline output requires an always-HWC RGB uint8 result"),
        (([normalize(1.0)], 0), {"targets": [IMAGE, {**IMAGE, "outputs": [{"type": "write"}]}]}, ValueError,
         "encoded pipeline output requires an always-HWC RGB uint8 result"),
    ],
)
def test_construction_errors_in_order(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Pipeline(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "specs, targets",
    [
        ([normalize(0.0)], [ENCODED_IMAGE]),  # a Normalize that never runs
        ([normalize(1.0)], [IMAGE, WRITTEN_MASK]),  # masks are exempt
        ([normalize(1.0), ], [{**IMAGE, "outputs": [{"type": "return_tensor"}]}]),
    ],
)
def test_float_results_are_fine_without_image_encoding(specs, targets):
    Pipeline(specs, 0, targets=targets)


@pytest.mark.parametrize(
    "call",
    [
        lambda: Pipeline([]),
        lambda: Pipeline([], 0, "reference", [IMAGE], 1),
        lambda: Pipeline([], 0, seed=1, targets=[IMAGE]),
        lambda: Pipeline([], 0, target=[IMAGE]),
        lambda: Pipeline._restore([], 0, "reference", [IMAGE]),
        lambda: Pipeline._restore([], 0, "reference", [IMAGE], 0, 0),
    ],
)
def test_argument_count_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("key", [0, 1, 2**63, U64_MAX])
def test_restore_resumes_the_key_sequence(key):
    restored = Pipeline._restore([INVERT], 5, "compiled", [IMAGE], key)
    assert type(restored) is Pipeline
    assert restored._snapshot_next_key() == key
    by_keyword = Pipeline._restore(specs=[], seed=U64_MAX, mode="staged-fresh", targets=[IMAGE], next_key=key)
    assert by_keyword._snapshot_next_key() == key


class Index:
    def __index__(self):
        return 1


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "seed, next_key, error, message",
    [
        (True, 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (Index(), 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (1.0, 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (np.uint64(1), 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (-1, 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (2**64, 0, ValueError, "seed must be an unsigned 64-bit integer"),
        (0, -1, ValueError, "next_key must be an unsigned 64-bit integer"),
        (0, 2**64, ValueError, "next_key must be an unsigned 64-bit integer"),
        (0, False, ValueError, "next_key must be an unsigned 64-bit integer"),
        (0, None, ValueError, "next_key must be an unsigned 64-bit integer"),
        (-1, -1, ValueError, "seed must be an unsigned 64-bit integer"),
    ],
)
def test_restore_integer_rule(seed, next_key, error, message):
    with pytest.raises(error) as info:
        Pipeline._restore([], seed, "reference", [IMAGE], next_key)
    assert str(info.value) == message


def test_restore_accepts_int_subclasses_and_checks_in_its_own_order():
    assert Pipeline._restore([], IntSubclass(3), "reference", [IMAGE], IntSubclass(4))._snapshot_next_key() == 4
    # mode is converted first, then seed, then next_key, then the construction steps
    with pytest.raises(TypeError, match="^argument 'mode': "):
        Pipeline._restore([], -1, None, None, -1)
    with pytest.raises(ValueError, match="^next_key must be"):
        Pipeline._restore([], 0, "bad", None, -1)
    # targets=None is not "targets are required" here: it is a wrong type
    with pytest.raises(TypeError, match="'NoneType' object cannot be converted to 'list'"):
        Pipeline._restore([], 0, "bad", None, 0)
    with pytest.raises(ValueError, match="^mode must be"):
        Pipeline._restore([], 0, "bad", [IMAGE], 0)


def poison(pipeline, which):
    hook = ctypes.PyDLL(_tessalumen.__file__).tessalumen_testing_fail_while_holding
    hook.argtypes = [ctypes.py_object, ctypes.c_int]
    assert hook(pipeline, which) == 0


def test_a_failed_holder_poisons_the_sequence_lock_of_that_pipeline_only():
    poisoned = Pipeline._restore([], 0, "reference", [IMAGE], 9)
    healthy = Pipeline._restore([], 0, "reference", [IMAGE], 9)
    poison(poisoned, 0)
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            poisoned._snapshot_next_key()
        assert str(info.value) == "pipeline sequence lock is poisoned"
    assert healthy._snapshot_next_key() == 9
    # the workspace pool lock is separate
    poison(healthy, 1)
    assert healthy._snapshot_next_key() == 9


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_failing_constructions_balance_references_and_memory():
    seed = 2**63 + 12345  # a fresh int object, not a cached small one
    fill = [1, 2, 256]
    bad_spec = {"type": "PadIfNeeded", "min_height": 8, "min_width": None, "pad_height_divisor": None,
                "pad_width_divisor": 4, "position": "center", "border_mode": "constant", "fill": fill}
    good = [INVERT, {"type": "Resize", "height": 4, "width": 4, "interpolation": "nearest", "antialias": True}]
    specs = good + [bad_spec]
    bad_target = {"role": "mask", "fill": "0", "carrier": "array", "outputs": [{"type": "return_array"}]}
    targets = [IMAGE, {**IMAGE, "name": "second"}]
    calls = [
        (lambda: Pipeline(specs, seed, "reference", targets), OverflowError),
        (lambda: Pipeline(good, seed, "bad", targets), ValueError),
        (lambda: Pipeline(good, seed, "compiled", [IMAGE, bad_target]), ValueError),
        (lambda: Pipeline(good + [normalize(1.0), INVERT], seed, "compiled", targets), ValueError),
        (lambda: Pipeline(good + [normalize(1.0)], seed, "compiled", [ENCODED_IMAGE]), ValueError),
        (lambda: Pipeline._restore(specs, seed, "reference", targets, -1), ValueError),
        (lambda: Pipeline._restore(specs, seed, "reference", targets, seed), OverflowError),
        (lambda: Pipeline(good, seed, "reference", targets), None),
    ]
    # Objects of this test only: shared constants such as small ints have
    # reference counts that other code changes.
    watched = [seed, fill, bad_spec, good, specs, bad_target, targets, IMAGE, INVERT]

    def run(times):
        for _ in range(times):
            for call, error in calls:
                if error is None:
                    call()
                    continue
                with pytest.raises(error):
                    call()

    run(200)
    gc.collect()
    before_counts = [sys.getrefcount(obj) for obj in watched]
    before_rss = rss_bytes()
    run(3000)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before_counts
    assert rss_bytes() - before_rss < 4 * 1024 * 1024
