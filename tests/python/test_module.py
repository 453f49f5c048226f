import _ovilex


def test_all_lists_the_four_functions_in_order():
    assert _ovilex.__all__ == ["build_info", "encode_train", "encode", "decode_string"]
