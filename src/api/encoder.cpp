#include "api/encoder.hpp"

#include <new>

#include "api/state.hpp"
#include "api/state_bytes.hpp"
#include "bind/borrow.hpp"
#include "bind/errors.hpp"
#include "convert/input.hpp"
#include "convert/output.hpp"

namespace dorvik {

namespace {

// The instance holds no Python references, so the type needs no GC support.
struct EncoderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  EncoderState state;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

// Wraps CPython's parser: `format` names the parameters' kinds, `names` them.
template <class... Out>
void parse_args(PyObject* args, PyObject* kwds, const char* format, const char* const* names,
                Out*... out) {
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(names), out...)) {
    throw PyError{};
  }
}

EncodingStrategy parse_strategy(PyObject* encoding) {
  if (encoding == nullptr || encoding == Py_None) return EncodingStrategy::Label;
  if (!PyUnicode_Check(encoding)) {
    PyErr_Format(PyExc_TypeError, "Encoder() argument 'encoding' must be str or None, not %T",
                 encoding);
    throw PyError{};
  }
  // Compared without encoding, so that a text with lone surrogates is still
  // refused with its own message.
  if (PyUnicode_CompareWithASCIIString(encoding, "label") != 0) {
    PyErr_Format(PyExc_ValueError, "%U is not a supported encoding strategy for strings!",
                 encoding);
    throw PyError{};
  }
  return EncodingStrategy::Label;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&] {
    static const char* const names[] = {"encoding", nullptr};
    PyObject* encoding = nullptr;
    parse_args(args, kwds, "|O:Encoder", names, &encoding);
    const EncodingStrategy strat = parse_strategy(encoding);
    Ref self = check(type->tp_alloc(type, 0));
    auto* e = as_encoder(self.get());
    new (&e->borrow) BorrowFlag();
    new (&e->state) EncoderState();
    e->state.encoding_strat = strat;
    return self.release();
  });
}

void encoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* e = as_encoder(self);
  e->state.~EncoderState();
  e->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* encode(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&] {
    static const char* const names[] = {"obj", nullptr};
    PyObject* obj = nullptr;
    parse_args(args, kwds, "O:encode", names, &obj);
    auto* e = as_encoder(self);
    ExclusiveBorrow borrow(e->borrow);
    Converted in = pyany_to_vec(obj);
    // Stored before output conversion: a failure there keeps the new fit.
    e->state.encoding_info = std::move(in.info);
    return arr_to_out(in.matrix, std::move(in.out), nullptr, std::move(in.backing)).release();
  });
}

PyObject* decode(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&] {
    static const char* const names[] = {"obj", nullptr};
    PyObject* obj = nullptr;
    parse_args(args, kwds, "O:decode", names, &obj);
    auto* e = as_encoder(self);
    SharedBorrow borrow(e->borrow);
    Converted in = pyany_to_vec(obj);
    in.info.reset();
    // The shared borrow keeps the stored fit in place while Python code runs.
    const auto& fit = e->state.encoding_info;
    return arr_to_out(in.matrix, std::move(in.out), fit ? &*fit : nullptr, std::move(in.backing))
        .release();
  });
}

PyObject* getstate(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {nullptr};
    parse_args(args, kwds, ":__getstate__", names);
    auto* e = as_encoder(self);
    SharedBorrow borrow(e->borrow);
    const std::string bytes = write_state(e->state);
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* setstate(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"state", nullptr};
    PyObject* state = nullptr;
    parse_args(args, kwds, "O:__setstate__", names, &state);
    if (!PyBytes_Check(state)) {
      PyErr_Format(PyExc_TypeError, "__setstate__() argument 'state' must be bytes, not %T", state);
      throw PyError{};
    }
    auto* e = as_encoder(self);
    ExclusiveBorrow borrow(e->borrow);
    char* data = nullptr;
    Py_ssize_t len = 0;
    check_status(PyBytes_AsStringAndSize(state, &data, &len));
    try {
      // Read whole before anything is replaced: a failure keeps the old state.
      e->state = read_state({data, static_cast<std::size_t>(len)});
    } catch (const StateError& err) {
      PyErr_Format(PyExc_ValueError, "failed to unpickle Brantock: %s", err.what());
      throw PyError{};
    }
    Py_RETURN_NONE;
  });
}

template <auto F>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"encode", method<encode>(), METH_VARARGS | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", method<decode>(), METH_VARARGS | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", method<getstate>(), METH_VARARGS | METH_KEYWORDS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", method<setstate>(), METH_VARARGS | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {0, nullptr},
};

// Named under the module so that pickle finds the class as dorvik.Encoder.
// Not a base type; no __dict__ and no weak references.
PyType_Spec spec = {
    "dorvik.Encoder",
    sizeof(EncoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* type_object = nullptr;  // one strong reference, kept for the process
PyMutex type_lock{};

}  // namespace

PyObject* encoder_type() {
  PyMutex_Lock(&type_lock);
  if (type_object == nullptr) type_object = PyType_FromSpec(&spec);
  PyObject* type = type_object;
  PyMutex_Unlock(&type_lock);
  return type;
}

}  // namespace dorvik
