// vectorized_baw_implied_vol: NumPy conversions with the interpreter held, then one serial loop
// of the scalar solver with the calling thread detached.
#include "detached.hpp"
#include "parallel.hpp"
#include "entries.hpp"
#include "kernel/implied_vol.hpp"

namespace kelvo {

namespace {

constexpr const char SOURCE_FILE[] = "kelvo/baw_core/vectorized_entry.cpp";

PyObject *vectorized_body(PyObject *const *inputs) {
    static const char *const NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};
    ParallelInputs in;
    StridedView<double> out_view;
    Ref out;
    // a NumPy str array is read where it lies (its elements, made one by one, would drop Ctrl-C)
    if (!in.acquire(inputs, NAMES, true) || !(out = new_float64_array(in.n, out_view))) {
        return nullptr;
    }

    const char *p = in.numeric[0].data();
    const char *s = in.numeric[1].data();
    const char *k = in.numeric[2].data();
    const char *d = in.numeric[3].data();
    const char *f = in.numeric[4].data();
    const char *q = in.flags.data;
    char *o = out_view.data();
    {
        Detached detached;
        for (Py_ssize_t i = 0; i < in.n; ++i) {
            const double sigma = kernel::_baw_implied_vol_c(load<double>(p), load<double>(s),
                                                            load<double>(k), load<double>(d),
                                                            load<double>(f), in.flags.selector(q));
            std::memcpy(o, &sigma, sizeof sigma);
            p += in.numeric[0].stride();
            s += in.numeric[1].stride();
            k += in.numeric[2].stride();
            d += in.numeric[3].stride();
            f += in.numeric[4].stride();
            q += in.flags.stride;
            o += out_view.stride();
            if ((i & 15) == 15 && !detached.keep_going()) break;
        }
        detached.reattach();
        if (detached.interrupted()) return nullptr;
    }

    // Failure (-1.0) becomes NaN; 0.0 (at or below intrinsic) stays.
    Ref asarray = np_attribute("asarray");
    if (!asarray) return nullptr;
    Ref result(PyObject_CallOneArg(asarray.get(), out.get()));
    if (!result) return nullptr;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref negative(PyObject_RichCompare(result.get(), zero.get(), Py_LT));
    if (!negative) return nullptr;
    Ref nan = np_attribute("nan");
    if (!nan || PyObject_SetItem(result.get(), negative.get(), nan.get()) < 0) return nullptr;
    return result.release();
}

}  // namespace

namespace {

PyObject *vectorized_baw_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    const Signature &sig = vectorized_baw_implied_vol_entry.signature;
    PyObject *result = nullptr;
    BoundArgs bound;
    if (bind_arguments(sig, args, nargs, kwnames, bound)) {
        PyObject *inputs[MAX_PARAMS];
        for (int i = 0; i < MAX_PARAMS; ++i) inputs[i] = bound[i];
        result = vectorized_body(inputs);
    }
    if (result == nullptr) add_traceback(sig.qualname, SOURCE_FILE, __LINE__);
    return result;
}

}  // namespace

Entry vectorized_baw_implied_vol_entry = {
    {"vectorized_baw_implied_vol", {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"}, 6,
     0.0, 0, nullptr, {}},
    vectorized_baw_implied_vol,
    "Batch BAW IV extraction over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n"
    "    ",
    {}};

}  // namespace kelvo
