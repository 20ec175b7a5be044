import _tessalumen


def test_module_imports():
    assert _tessalumen.__name__ == "_tessalumen"
