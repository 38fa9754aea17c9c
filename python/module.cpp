#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef weft_module = {PyModuleDef_HEAD_INIT, "weft", "", -1, nullptr};

PyMODINIT_FUNC PyInit_weft(void) { return PyModule_Create(&weft_module); }
