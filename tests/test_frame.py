"""The module frame: namespace, classes, function objects, argument binding,
array validation, conversions and traceback entries."""
import ctypes
import inspect
import pickle
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import numpy as np
import pytest

from conftest import IntLike, codes, dtype_mismatch, traceback_names
from morvane.utils import sequences as s

PREFIX = "morvane.utils.sequences."
ROOT = Path(__file__).resolve().parent.parent

# (callable as reached from the module, signature, __doc__, __defaults__)
SIGNATURES = [
    (s.SequenceMatrix.create, "(length, stype)", None, None),
    (s.SequenceMatrix.add_counts, "(self, obj)", None, None),
    (s.NucleotideMatrix.__init__, "(self, length)", None, None),
    (s.NucleotideMatrix.add_sequence, "(self, sequence, amount=1.0)",
     " Adds sequence to SequenceMatrix the number of times specified in amount ", (1.0,)),
    (s.NucleotideMatrix.add_background, "(self, sequence, amount=1.0)",
     " Adds sequence to count of background nucleotides ", (1.0,)),
    (s.NucleotideMatrix.prepare_mat, "(self)", " Prepare matrices for scoring with score_sequence ", None),
    (s.NucleotideMatrix.score_sequence, "(self, sequence)", " Score nucleotide sequence against motif ", None),
    (s.DiNucleotideMatrix.__init__, "(self, length)", None, None),
    (s.DiNucleotideMatrix.add_sequence, "(self, sequence, amount=1.0)", None, (1.0,)),
    (s.DiNucleotideMatrix.add_background, "(self, sequence, amount=1.0)",
     " Adds sequence to count of background nucleotides ", (1.0,)),
    (s.DiNucleotideMatrix.prepare_mat, "(self)", None, None),
    (s.DiNucleotideMatrix.score_sequence, "(self, sequence)", None, None),
    (s.nuc_to_num, "(sequence)", " Convert DNA sequence string to internal number format ", None),
    (s.GenomicSequence.__init__, "(self, region)", None, None),
    (s.GenomicSequence.from_fasta, "(self, fasta_obj)", " Fill sequence from fasta object ", None),
    (s.get_gc_content, "(regions, fasta)", " Get GC content from regions in fasta ", None),
]


# ---------------------------------------------------------------- namespace and classes

def test_namespace_order_and_module_attributes():
    names = [k for k in vars(s) if not k.startswith("__") or k == "__test__"]
    assert names == ["np", "sys", "pysam", "complement", "SequenceMatrix", "NucleotideMatrix",
                     "DiNucleotideMatrix", "nuc_to_num", "GenomicSequence", "get_gc_content", "__test__"]
    assert s.np is np and s.sys is sys and s.pysam is __import__("pysam")
    assert s.__test__ == {}
    assert s.__doc__ == "Sequence utilities for counting and scoring with PWMs and DWMs."
    assert s.__name__ == "morvane.utils.sequences"
    assert s.__package__ == "morvane.utils"
    assert s.__file__ == s.__spec__.origin and s.__loader__ is s.__spec__.loader
    assert not hasattr(s, "__path__")
    assert s.__builtins__ is __import__("builtins")


@pytest.mark.parametrize("cls, bases, doc, methods", [
    (s.SequenceMatrix, (object,), " Class-builder ", ["create", "add_counts"]),
    (s.NucleotideMatrix, (s.SequenceMatrix,), None,
     ["__init__", "add_sequence", "add_background", "prepare_mat", "score_sequence"]),
    (s.DiNucleotideMatrix, (s.SequenceMatrix,), " Dinucleotide matrix ",
     ["__init__", "add_sequence", "add_background", "prepare_mat", "score_sequence"]),
    (s.GenomicSequence, (object,), " Used in drellow for fast scoring of PWM/DWM ", ["__init__", "from_fasta"]),
])
def test_classes_are_ordinary_classes(cls, bases, doc, methods):
    assert cls.__bases__ == bases and type(cls) is type
    assert cls.__doc__ == doc
    assert cls.__module__ == "morvane.utils.sequences" and cls.__qualname__ == cls.__name__
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == methods
    assert "__dict__" in dir(cls)


def test_instances_keep_state_in_their_dict():
    m = s.NucleotideMatrix(3)
    assert list(vars(m)) == ["length", "counts", "neg_counts", "bg_counts", "no_bias", "no_bg", "pssm"]
    m.extra = 1
    del m.pssm
    assert "extra" in vars(m) and "pssm" not in vars(m)
    assert isinstance(s.SequenceMatrix.create, type(s.nuc_to_num))
    assert isinstance(vars(s.SequenceMatrix)["create"], staticmethod)


# ---------------------------------------------------------------- function objects

@pytest.mark.parametrize("fn, signature, doc, defaults", SIGNATURES, ids=[row[0].__qualname__ for row in SIGNATURES])
def test_function_objects_introspect_like_python_functions(fn, signature, doc, defaults):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc
    assert fn.__defaults__ == defaults
    assert fn.__module__ == "morvane.utils.sequences"
    assert fn.__qualname__.endswith(fn.__name__)
    assert fn.__code__.co_varnames[:fn.__code__.co_argcount] == tuple(inspect.signature(fn).parameters)
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert pickle.loads(pickle.dumps(fn, protocol=0)) is fn


def test_functions_bind_as_methods():
    m = s.NucleotideMatrix(2)
    bound = m.add_sequence
    assert bound.__self__ is m and bound.__func__ is s.NucleotideMatrix.add_sequence
    assert str(inspect.signature(bound)) == "(sequence, amount=1.0)"
    assert s.NucleotideMatrix.__dict__["add_sequence"].__get__(None, s.NucleotideMatrix) is bound.__func__
    assert m.create is s.SequenceMatrix.create and s.DiNucleotideMatrix.create is s.SequenceMatrix.create
    assert "<function NucleotideMatrix.add_sequence at " in repr(bound.__func__)
    # Bound methods pickle by reference to their instance, so matrices can travel to workers.
    m.add_sequence(codes(0, 2))
    copy = pickle.loads(pickle.dumps(m))
    assert type(copy) is s.NucleotideMatrix and np.array_equal(copy.counts, m.counts)
    restored = pickle.loads(pickle.dumps(m.add_sequence))
    assert restored.__func__ is s.NucleotideMatrix.add_sequence


def test_defaults_belong_to_each_method():
    a = s.NucleotideMatrix.add_sequence.__defaults__[0]
    b = s.DiNucleotideMatrix.add_sequence.__defaults__[0]
    assert type(a) is float and a == b == 1.0


def test_function_type_is_immutable_and_functions_take_weak_references():
    fn_type = type(s.nuc_to_num)
    for name, value in [("__call__", lambda *a: None), ("__repr__", repr), ("extra", 1)]:
        with pytest.raises(TypeError, match="immutable type"):
            setattr(fn_type, name, value)
    assert s.nuc_to_num("ACGT").tolist() == [0, 2, 3, 1]
    ref = weakref.ref(s.NucleotideMatrix.add_sequence)
    assert ref() is s.NucleotideMatrix.add_sequence
    assert set(weakref.WeakSet(row[0] for row in SIGNATURES)) == {row[0] for row in SIGNATURES}


# ---------------------------------------------------------------- argument binding

m2 = s.NucleotideMatrix(2)
d2 = s.DiNucleotideMatrix(2)
seq2 = codes(0, 1)

BINDING_ERRORS = [
    (lambda: m2.add_sequence(seq2, 1.0, 2), "add_sequence() takes at most 3 positional arguments (4 given)"),
    (lambda: m2.add_sequence(), "add_sequence() takes at least 2 positional arguments (1 given)"),
    (lambda: s.NucleotideMatrix.add_sequence(amount=2.0),
     "add_sequence() takes at least 2 positional arguments (0 given)"),
    (lambda: s.NucleotideMatrix(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: s.nuc_to_num(), "nuc_to_num() takes exactly 1 positional argument (0 given)"),
    (lambda: s.nuc_to_num("A", "C"), "nuc_to_num() takes exactly 1 positional argument (2 given)"),
    (lambda: m2.prepare_mat(1), "prepare_mat() takes exactly 1 positional argument (2 given)"),
    (lambda: s.SequenceMatrix.create(2), "create() takes exactly 2 positional arguments (1 given)"),
    (lambda: s.get_gc_content(fasta="x"), "get_gc_content() takes exactly 2 positional arguments (0 given)"),
    (lambda: m2.add_sequence(seq2, 1.0, amount=2.0),
     "add_sequence() got multiple values for keyword argument 'amount'"),
    (lambda: s.nuc_to_num("A", sequence="C"), "nuc_to_num() got multiple values for keyword argument 'sequence'"),
    (lambda: s.nuc_to_num(seq="A"), "nuc_to_num() got an unexpected keyword argument 'seq'"),
    (lambda: d2.score_sequence(seq2, extra=1), "score_sequence() got an unexpected keyword argument 'extra'"),
    (lambda: s.nuc_to_num(**{1: "A"}), "nuc_to_num() keywords must be strings"),
    (lambda: m2.add_sequence(seq2, "2"), "must be real number, not str"),
    (lambda: m2.add_sequence([0, 1]),
     "Argument 'sequence' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: d2.score_sequence(sequence=(0, 1)),
     "Argument 'sequence' has incorrect type (expected numpy.ndarray, got tuple)"),
    (lambda: s.nuc_to_num(b"ACGT"), "Argument 'sequence' has incorrect type (expected str, got bytes)"),
    (lambda: s.nuc_to_num(type("Text", (str,), {})("AC")),
     "Argument 'sequence' has incorrect type (expected str, got Text)"),
    (lambda: m2.score_sequence(None), "Argument 'sequence' must not be None"),
    (lambda: s.nuc_to_num(None), "object of type 'NoneType' has no len()"),
]


@pytest.mark.parametrize("thunk, message", BINDING_ERRORS)
def test_binding_errors(thunk, message):
    with pytest.raises(TypeError) as excinfo:
        thunk()
    assert str(excinfo.value) == message


def test_binding_by_keyword_and_conversions():
    assert s.nuc_to_num(sequence="AC").tolist() == [0, 2]
    m = s.NucleotideMatrix(length=2)
    m.add_sequence(sequence=seq2, amount=2)
    m.add_sequence(seq2, amount=np.float32(0.5))

    class Index:
        def __index__(self):
            return 3
    m.add_sequence(seq2, Index())
    assert m.counts[0, 0] == 5.5 and type(m.no_bias) is float
    s.NucleotideMatrix.add_background(self=m, sequence=seq2)
    assert m.no_bg == 1.0
    assert s.SequenceMatrix.create(stype="PWM", length=3).length == 3


# ---------------------------------------------------------------- buffer validation

@pytest.mark.parametrize("array, message", [
    (np.zeros(2, ">i8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(2, np.float64), dtype_mismatch("int64_t", "'double'")),
    (np.zeros(2, np.uint64), dtype_mismatch("int64_t", "'unsigned long'")),
    (np.zeros(2, np.int32), dtype_mismatch("int64_t", "'int'")),
    (np.zeros(2, np.uint32), dtype_mismatch("int64_t", "'unsigned int'")),
    (np.zeros(2, np.int16), dtype_mismatch("int64_t", "'short'")),
    (np.zeros(2, np.uint16), dtype_mismatch("int64_t", "'unsigned short'")),
    (np.zeros(2, np.int8), dtype_mismatch("int64_t", "'signed char'")),
    (np.zeros(2, np.uint8), dtype_mismatch("int64_t", "'unsigned char'")),
    (np.zeros(2, np.bool_), dtype_mismatch("int64_t", "'bool'")),
    (np.zeros(2, np.float32), dtype_mismatch("int64_t", "'float'")),
    (np.zeros(2, np.longdouble), dtype_mismatch("int64_t", "'long double'")),
    (np.zeros(2, np.complex64), dtype_mismatch("int64_t", "'complex float'")),
    (np.zeros(2, np.complex128), dtype_mismatch("int64_t", "'complex double'")),
    (np.zeros(2, np.clongdouble), dtype_mismatch("int64_t", "'complex long double'")),
    (np.zeros(2, np.ulonglong), dtype_mismatch("int64_t", "'unsigned long long'")),
    (np.zeros(2, object), dtype_mismatch("int64_t", "Python object")),
    (np.zeros(2, "S3"), dtype_mismatch("int64_t", "a string")),
    (np.zeros(2, np.float16), dtype_mismatch("int64_t", "unparsable format string")),
    (np.zeros(2, "U2"), dtype_mismatch("int64_t", "unparsable format string")),
    (np.zeros(2, [("a", "<i8"), ("b", "<i8")]), dtype_mismatch("int64_t", "a struct")),
    (np.zeros(2, {"names": ["a"], "formats": ["<i8"], "itemsize": 16}),
     "Item size of buffer (16 bytes) does not match size of 'int64_t' (8 bytes)"),
    (np.zeros((2, 2), np.int64), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros((), np.int64), "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_sequence_buffer_validation(array, message):
    m = s.NucleotideMatrix(2)
    with pytest.raises(ValueError) as excinfo:
        m.add_sequence(array)
    assert str(excinfo.value) == message
    assert m.no_bias == 0 and not m.counts.any()


@pytest.mark.parametrize("value, message", [
    (np.zeros((5, 2), np.int64), dtype_mismatch("float64_t", "'long'")),
    (np.zeros((5, 2), np.longlong), dtype_mismatch("float64_t", "'long long'")),
    (np.zeros((5, 2), ">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(10), "Buffer has wrong number of dimensions (expected 2, got 1)"),
])
def test_attribute_buffer_validation(value, message):
    m = s.NucleotideMatrix(2)
    m.pssm = value
    with pytest.raises(ValueError) as excinfo:
        m.score_sequence(seq2)
    assert str(excinfo.value) == message


def test_attribute_arrays_must_be_arrays():
    m = s.NucleotideMatrix(2)
    m.pssm = [[0.0] * 2] * 5
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        m.score_sequence(seq2)
    m.counts = None
    with pytest.raises(TypeError, match="attribute 'counts' is None; expected a numpy.ndarray"):
        m.add_sequence(seq2)
    m.counts = np.zeros((5, 2))
    m.counts.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        m.add_sequence(seq2)
    assert m.no_bias == 0


def test_read_only_and_strided_sequences_are_accepted():
    base = codes(0, 3, 1, 3, 2, 3)
    read_only = base.copy()
    read_only.flags.writeable = False
    m = s.NucleotideMatrix(3)
    m.add_sequence(read_only)           # A, G, T
    m.add_sequence(base[::2])           # A, T, C
    m.add_sequence(base[::-1][:3])      # G, C, G
    assert m.counts[:, 0].tolist() == [2, 0, 0, 1, 0]
    assert m.counts[:, 1].tolist() == [0, 1, 1, 1, 0]
    assert m.counts[:, 2].tolist() == [0, 1, 1, 1, 0]


# ---------------------------------------------------------------- conversions

@pytest.mark.parametrize("length, exc, message", [
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    ("2", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike("2"), TypeError, "__int__ returned non-int (type str)"),
    (IntLike(2 ** 40), OverflowError, "value too large to convert to int"),
])
def test_c_int_conversion_errors(length, exc, message):
    m = s.NucleotideMatrix(2)
    m.length = length
    with pytest.raises(exc) as excinfo:
        m.add_sequence(seq2)
    assert str(excinfo.value) == message
    assert not m.counts.any() and m.no_bias == 0


def test_c_int_conversion_truncates_and_warns_for_int_subclasses():
    m = s.NucleotideMatrix(3)
    m.length = 1.9                      # counts one position
    m.add_sequence(codes(0, 1, 2))
    assert m.counts.sum() == 1.0
    m.length = IntLike(True)
    with pytest.warns(DeprecationWarning) as record:
        m.add_sequence(codes(2))
    assert str(record[0].message) == (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict subclass of int "
        "is deprecated, and may be removed in a future version of Python.")
    assert m.counts[2, 0] == 1.0


# ---------------------------------------------------------------- traceback entries

FAILING_CALLS = [
    (lambda: s.SequenceMatrix.create(2, "nope"), SystemExit, "SequenceMatrix.create"),
    (lambda: s.NucleotideMatrix(2).add_counts(object()), AttributeError, "SequenceMatrix.add_counts"),
    (lambda: s.NucleotideMatrix(-1), ValueError, "NucleotideMatrix.__init__"),
    (lambda: s.NucleotideMatrix(2).add_sequence([0]), TypeError, "NucleotideMatrix.add_sequence"),
    (lambda: s.NucleotideMatrix(2).add_background(codes(0)), ValueError, "NucleotideMatrix.add_background"),
    (lambda: s.NucleotideMatrix(2).prepare_mat(1), TypeError, "NucleotideMatrix.prepare_mat"),
    (lambda: s.NucleotideMatrix(2).score_sequence(codes(-1)), ValueError, "NucleotideMatrix.score_sequence"),
    (lambda: s.DiNucleotideMatrix("x"), TypeError, "DiNucleotideMatrix.__init__"),
    (lambda: s.DiNucleotideMatrix(2).add_sequence(codes(9, 9)), ValueError, "DiNucleotideMatrix.add_sequence"),
    (lambda: s.DiNucleotideMatrix(2).add_background(codes(0), x=1), TypeError,
     "DiNucleotideMatrix.add_background"),
    (lambda: s.SequenceMatrix.__new__(s.DiNucleotideMatrix).prepare_mat(), AttributeError,
     "DiNucleotideMatrix.prepare_mat"),
    (lambda: s.DiNucleotideMatrix(2).score_sequence(seq2), AttributeError, "DiNucleotideMatrix.score_sequence"),
    (lambda: s.nuc_to_num(None), TypeError, "nuc_to_num"),
    (lambda: s.GenomicSequence(None), AttributeError, "GenomicSequence.__init__"),
    (lambda: s.GenomicSequence.from_fasta(None, None), AttributeError, "GenomicSequence.from_fasta"),
    (lambda: s.get_gc_content([], "/nonexistent.fa"), OSError, "get_gc_content"),
]


@pytest.mark.parametrize("thunk, exc, qualname", FAILING_CALLS, ids=[c[2] for c in FAILING_CALLS])
def test_every_callable_names_itself_in_tracebacks(thunk, exc, qualname):
    with pytest.raises(exc) as excinfo:
        thunk()
    assert PREFIX + qualname in traceback_names(excinfo)
    entry = [f for f in __import__("traceback").extract_tb(excinfo.value.__traceback__)
             if f.name == PREFIX + qualname][0]
    # the entry points at the row of the table that declares the callable, in the source tree
    lines = (ROOT / entry.filename).read_text().splitlines()
    assert f'"{qualname}"' in " ".join(lines[max(entry.lineno - 3, 0):entry.lineno]), entry


def test_nested_calls_keep_both_entries():
    with pytest.raises(ValueError) as excinfo:
        s.SequenceMatrix.create(-1, "PWM")
    names = traceback_names(excinfo)
    assert names.index(PREFIX + "SequenceMatrix.create") < names.index(PREFIX + "NucleotideMatrix.__init__")


# ---------------------------------------------------------------- start-up

def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_missing_pysam_fails_the_import():
    result = run_python("""
        import sys
        sys.modules["pysam"] = None
        import morvane.utils.sequences
    """)
    assert result.returncode != 0
    assert "ModuleNotFoundError" in result.stderr or "ImportError" in result.stderr
    assert "init morvane.utils.sequences" in result.stderr
    # A later import, once pysam can be found, builds the module afresh.
    result = run_python("""
        import sys
        sys.modules["pysam"] = None
        try:
            import morvane.utils.sequences
        except ImportError:
            pass
        del sys.modules["pysam"]
        from morvane.utils import sequences
        print(sorted(k for k in vars(sequences) if not k.startswith("_")))
    """)
    assert result.returncode == 0, result.stderr
    assert "get_gc_content" in result.stdout


def test_reimport_returns_the_same_module():
    result = run_python("""
        import sys, importlib
        import morvane.utils.sequences as first
        del sys.modules["morvane.utils.sequences"]
        second = importlib.import_module("morvane.utils.sequences")
        print(first is second, first.nuc_to_num is second.nuc_to_num)
    """)
    assert result.stdout.split() == ["True", "True"], result.stderr


def test_executing_the_module_into_another_object_is_refused():
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    other = type(s)("sequences")
    with pytest.raises(RuntimeError) as excinfo:
        exec_def(other, get_def(s))
    assert str(excinfo.value) == (
        "Module 'sequences' has already been imported. Re-initialisation is not supported.")
    assert exec_def(s, get_def(s)) == 0


def test_second_interpreter_is_refused():
    inner = "try:\n    import morvane.utils.sequences\nexcept ImportError as e:\n    print('refused:', e)\n"
    result = run_python(f"import _testcapi, morvane.utils.sequences\n_testcapi.run_in_subinterp({inner!r})")
    assert ("refused: Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.") in result.stdout, result.stdout + result.stderr
