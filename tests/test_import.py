import weft


def test_module_imports():
    assert weft.__doc__ == ""
