// The extension module: multi-phase initialisation, one class.
#define DORVIK_IMPORT_ARRAY
#include "bind/numpy.hpp"

#include "api/encoder.hpp"
#include "bind/errors.hpp"

namespace dorvik {
namespace {

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%T' object is not an instance of 'module'", module);
      throw PyError{};
    }
    if (PyArray_ImportNumPyAPI() < 0 || !init_panic_type()) throw PyError{};
    PyObject* type = encoder_type();
    if (type == nullptr) throw PyError{};
    return check_status(PyModule_AddObjectRef(module, "Encoder", type));
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dorvik",
    "Label encoding of the text columns of NumPy arrays and pandas DataFrames.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace dorvik

PyMODINIT_FUNC PyInit_dorvik() { return PyModuleDef_Init(&dorvik::module_def); }
