"""Hand-built Arrow C data interface structures (ctypes), well formed or not,
exported through __arrow_c_array__ or __arrow_c_stream__ as any producer would."""
import ctypes as C


class Schema(C.Structure):
    pass


Schema._fields_ = [("format", C.c_char_p), ("name", C.c_char_p), ("metadata", C.c_char_p), ("flags", C.c_int64),
                   ("n_children", C.c_int64), ("children", C.POINTER(C.POINTER(Schema))),
                   ("dictionary", C.POINTER(Schema)), ("release", C.c_void_p), ("private_data", C.c_void_p)]


class Array(C.Structure):
    pass


Array._fields_ = [("length", C.c_int64), ("null_count", C.c_int64), ("offset", C.c_int64), ("n_buffers", C.c_int64),
                  ("n_children", C.c_int64), ("buffers", C.POINTER(C.c_void_p)), ("children", C.POINTER(C.POINTER(Array))),
                  ("dictionary", C.POINTER(Array)), ("release", C.c_void_p), ("private_data", C.c_void_p)]


class Stream(C.Structure):
    pass


GET_SCHEMA = C.CFUNCTYPE(C.c_int, C.POINTER(Stream), C.POINTER(Schema))
GET_NEXT = C.CFUNCTYPE(C.c_int, C.POINTER(Stream), C.POINTER(Array))
GET_ERROR = C.CFUNCTYPE(C.c_char_p, C.POINTER(Stream))
RELEASE_STREAM = C.CFUNCTYPE(None, C.POINTER(Stream))
RELEASE_SCHEMA = C.CFUNCTYPE(None, C.POINTER(Schema))
RELEASE_ARRAY = C.CFUNCTYPE(None, C.POINTER(Array))
Stream._fields_ = [("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_ERROR),
                   ("release", RELEASE_STREAM), ("private_data", C.c_void_p)]

_capsule = C.pythonapi.PyCapsule_New
_capsule.restype = C.py_object
_capsule.argtypes = [C.c_void_p, C.c_char_p, C.c_void_p]


def _mark_released(p):
    p.contents.release = None


_RELEASE_SCHEMA = RELEASE_SCHEMA(_mark_released)
_RELEASE_ARRAY = RELEASE_ARRAY(_mark_released)


class Producer:
    """One array of `format` over `buffers` (bytes or None each); every field can be set wrong.

    children: Producers of the child arrays. stream=True exports it as the
    single batch of a stream whose release callbacks run Python code (they
    append to `released`)."""

    def __init__(self, format, length, buffers, offset=0, null_count=0, n_buffers=None, children=(),
                 schema_children=None, stream=False):
        self.keep = [C.create_string_buffer(b, len(b)) if b is not None else None for b in buffers]
        self.children = list(children)
        self.released = []
        kids = self.children if schema_children is None else schema_children
        schema_kids = (C.POINTER(Schema) * max(len(kids), 1))(*[C.pointer(k.schema) for k in kids])
        array_kids = (C.POINTER(Array) * max(len(self.children), 1))(*[C.pointer(k.array) for k in self.children])
        pointers = (C.c_void_p * max(len(buffers), 1))(*[C.cast(b, C.c_void_p) if b is not None else None for b in self.keep])
        self.keep += [schema_kids, array_kids, pointers]
        self.schema = Schema(format.encode(), b"", None, 0, len(kids), schema_kids, None, C.cast(_RELEASE_SCHEMA, C.c_void_p))
        self.array = Array(length, null_count, offset, len(buffers) if n_buffers is None else n_buffers, len(self.children),
                           pointers, array_kids, None, C.cast(_RELEASE_ARRAY, C.c_void_p))
        self.stream = stream

    def __arrow_c_array__(self, requested_schema=None):
        return _capsule(C.addressof(self.schema), b"arrow_schema", None), _capsule(C.addressof(self.array), b"arrow_array", None)

    def __getattr__(self, name):
        if name == "__arrow_c_stream__" and self.__dict__.get("stream"):
            return self._export_stream
        raise AttributeError(name)

    def _export_stream(self, requested_schema=None):
        sent = []

        def get_schema(_, out):
            C.memmove(out, C.byref(self.schema), C.sizeof(Schema))
            return 0

        def get_next(_, out):
            C.memmove(out, C.byref(self.array), C.sizeof(Array))
            if sent:
                out.contents.release = None  # the end of the stream
            else:
                out.contents.release = C.cast(self._release_batch, C.c_void_p)
            sent.append(1)
            return 0

        def release_batch(p):
            self.released.append("batch")  # Python code, run while an error may be pending
            p.contents.release = None

        self._release_batch = RELEASE_ARRAY(release_batch)
        self._stream = Stream(GET_SCHEMA(get_schema), GET_NEXT(get_next), GET_ERROR(lambda _: b""),
                              RELEASE_STREAM(lambda p: None), None)
        return _capsule(C.addressof(self._stream), b"arrow_array_stream", None)
