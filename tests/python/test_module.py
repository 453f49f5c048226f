import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _ovilex

FUNCTIONS = ["build_info", "encode_train", "encode", "decode_string"]
PARAMETERS = {
    "build_info": [],
    "encode_train": ["chunks"],
    "encode": ["s", "merges"],
    "decode_string": ["ids", "vocab_list"],
}
# What the interpreter gives every extension module loaded from a file.
STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
BANNER = "ovilex build: capped_encode_train_max_7744:0.1.0:src\\tokenizer"


def test_all_lists_the_four_functions_in_order():
    assert _ovilex.__all__ == ["build_info", "encode_train", "encode", "decode_string"]
    assert type(_ovilex.__all__) is list


def test_attributes_are_the_standard_ones_the_functions_and_all():
    assert set(vars(_ovilex)) == STANDARD_ATTRIBUTES | set(FUNCTIONS) | {"__all__"}
    assert _ovilex.__name__ == "_ovilex"
    assert isinstance(_ovilex.__doc__, str) and _ovilex.__doc__.strip()


class TestFunctions:
    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_bound_to_the_module(self, name):
        function = getattr(_ovilex, name)
        assert type(function) is type(len)
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == "_ovilex"
        assert function.__self__ is _ovilex

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_signature_has_required_positional_or_keyword_parameters(self, name):
        function = getattr(_ovilex, name)
        assert function.__text_signature__ == "(" + ", ".join(PARAMETERS[name]) + ")"
        parameters = list(inspect.signature(function).parameters.values())
        assert [p.name for p in parameters] == PARAMETERS[name]
        for p in parameters:
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert p.default is inspect.Parameter.empty

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_no_docstring_beyond_the_signature(self, name):
        assert getattr(_ovilex, name).__doc__ is None

    def test_build_info_text_signature_is_empty_parentheses(self):
        assert _ovilex.build_info.__text_signature__ == "()"


class TestBuildInfo:
    def test_returns_the_banner_every_time(self):
        first = _ovilex.build_info()
        assert first == BANNER
        assert type(first) is str
        assert first.count("\\") == 1
        assert _ovilex.build_info() == first

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: _ovilex.build_info(1), "_ovilex.build_info() takes no arguments (1 given)"),
            (lambda: _ovilex.build_info(1, 2), "_ovilex.build_info() takes no arguments (2 given)"),
            (lambda: _ovilex.build_info(x=1), "_ovilex.build_info() takes no keyword arguments"),
        ],
    )
    def test_arguments_refused_by_the_interpreter(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == message


class TestImport:
    def test_reimport_gives_the_same_module_object(self):
        functions = [getattr(_ovilex, name) for name in FUNCTIONS]
        all_list = _ovilex.__all__
        del sys.modules["_ovilex"]
        try:
            again = importlib.import_module("_ovilex")
        finally:
            sys.modules["_ovilex"] = _ovilex
        assert again is _ovilex
        assert [getattr(again, name) for name in FUNCTIONS] == functions
        assert again.__all__ is all_list
        assert again.__all__ == FUNCTIONS

    def test_second_interpreter_is_refused(self):
        # A legacy sub-interpreter lets the import reach the module's own check.
        script = textwrap.dedent(
            """
            import sys
            import _interpreters
            import _ovilex
            interp = _interpreters.create("legacy")
            code = (
                "import sys\\n"
                "sys.path[:0] = %r\\n"
                "try:\\n"
                "    import _ovilex\\n"
                "except ImportError as e:\\n"
                "    print('ImportError', e)\\n"
                "else:\\n"
                "    print('imported')\\n"
            ) % (sys.path,)
            _interpreters.run_string(interp, code)
            _interpreters.destroy(interp)
            print(_ovilex.encode(["ab"], [((97, 98), 256)]))
            """
        )
        out = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        assert lines[0].startswith("ImportError ")
        assert "sub-interpreters" in lines[0]
        assert lines[1] == "[256]"


class TestPanicException:
    @pytest.mark.parametrize(
        "grow, message",
        [
            (True, "dictionary changed size during iteration"),
            (False, "dictionary keys changed during iteration"),
        ],
    )
    def test_internal_error_reaches_python(self, provoke_panic, grow, message):
        e = provoke_panic(grow)
        cls = type(e)
        assert cls.__module__ == "ext_runtime"
        assert cls.__name__ == "PanicException"
        assert cls.__qualname__ == "PanicException"
        assert cls.__bases__ == (BaseException,)
        assert not isinstance(e, Exception)
        assert e.args == (message,)
        assert str(e) == message

    def test_not_caught_by_except_exception(self, provoke_panic):
        caught = None
        try:
            try:
                raise provoke_panic()
            except Exception:
                caught = "Exception"
        except BaseException:
            caught = "BaseException"
        assert caught == "BaseException"

    def test_one_class_for_the_process_and_not_a_module_attribute(self, provoke_panic):
        first = type(provoke_panic(True))
        assert type(provoke_panic(False)) is first
        assert first.__doc__
        assert "PanicException" not in vars(_ovilex)
        assert first not in vars(_ovilex).values()

    def test_module_works_after_an_internal_error(self, provoke_panic):
        provoke_panic()
        assert _ovilex.encode(["ab", "ab"], [((97, 98), 256)]) == [256, 256]
        assert _ovilex.decode_string([1, 2], {1: b"\xc3", 2: b"\xa9"}) == "\u00e9"

    @pytest.mark.parametrize("where", ["index", "getitem", "iter"])
    def test_raised_again_from_caller_code_stays_an_internal_error(self, provoke_panic, where,
                                                                    capfd):
        # A PanicException that leaves the module, travels through the
        # caller's code and comes back is resumed as an internal error.
        original = provoke_panic()
        capfd.readouterr()

        class Index:
            def __index__(self):
                raise original

        class GetItem:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise original

        class Iter(list):
            def __iter__(self):
                raise original

        ids = {"index": [Index()], "getitem": GetItem(), "iter": Iter([1])}[where]
        with pytest.raises(BaseException) as info:
            _ovilex.decode_string(ids, {1: b"a"})
        again = info.value
        assert type(again) is type(original)
        assert again.args == original.args
        assert again.__cause__ is None
        assert original.args[0] in capfd.readouterr().err
        assert _ovilex.decode_string([1], {1: b"a"}) == "a"
