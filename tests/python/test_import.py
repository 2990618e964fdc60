import _tarnwick


def test_module_exports_the_four_classes_in_order():
    assert _tarnwick.__all__ == ["KeyState", "FileType", "Record", "RawLevelDb"]
