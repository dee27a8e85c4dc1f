/* A deliberate data race, for checking that a ThreadSanitizer run reports races in an extension
 * module: bump() increments a plain global with no lock and no atomic, from every thread that
 * calls it. Built and run by tools/ci.sh only; never part of the package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static volatile long counter;  /* volatile: one load and one store per step, not one add */
static int arrived;

/* Both callers wait here until the other has arrived, with relaxed atomics, which order
 * nothing: the loops that follow then overlap, and no synchronisation separates them. */
static void meet(void) {
    __atomic_fetch_add(&arrived, 1, __ATOMIC_RELAXED);
    while (__atomic_load_n(&arrived, __ATOMIC_RELAXED) < 2) {
    }
}

static PyObject *bump(PyObject *self, PyObject *n_obj) {
    (void)self;
    long n = PyLong_AsLong(n_obj);
    if (n == -1 && PyErr_Occurred()) return NULL;
    meet();
    for (long i = 0; i < n; ++i) counter = counter + 1;
    return PyLong_FromLong(counter);
}

static PyMethodDef methods[] = {
    {"bump", bump, METH_O, "Increment the shared counter n times, racily."},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "planted_race", NULL, 0, methods, slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_planted_race(void) { return PyModuleDef_Init(&module); }
