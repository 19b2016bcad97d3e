// Direct entry points for the methods called most often one at a time, where
// pybind11's generic dispatcher costs as much as the work itself. A call with
// positional arguments of the accepted kinds on an initialised instance runs
// here, straight into the same adapter; any other call goes on to the
// registered pybind11 overload, which gives the same result or raises the
// same error.

#include <array>
#include <optional>
#include <tuple>
#include <type_traits>
#include <vector>

#include "bindings/adapters.hpp"
#include "bindings/registration.hpp"

namespace corvane {

namespace {

PyTypeObject *corvane_type = nullptr;
const py::detail::type_info *store_info = nullptr;

// The store of an initialised instance, or null (then pybind11 decides).
Store *store_of(PyObject *self) {
    if (!PyObject_TypeCheck(self, corvane_type)) return nullptr;
    auto *inst = reinterpret_cast<py::detail::instance *>(self);
    auto v_h = inst->get_value_and_holder(store_info, false);
    return v_h.holder_constructed() ? v_h.value_ptr<Store>() : nullptr;
}

// The key/tag conversion of the `str` parameters, as a view of the
// argument's own bytes; false where pybind11's string caster would refuse.
bool view_of(PyObject *arg, std::string_view &out) {
    Py_ssize_t size = 0;
    const char *data = nullptr;
    if (PyUnicode_Check(arg)) {
        data = PyUnicode_AsUTF8AndSize(arg, &size);
        if (data == nullptr) {  // a lone surrogate
            PyErr_Clear();
            return false;
        }
    } else if (PyBytes_Check(arg)) {
        data = PyBytes_AS_STRING(arg);
        size = PyBytes_GET_SIZE(arg);
    } else if (PyByteArray_Check(arg)) {
        data = PyByteArray_AS_STRING(arg);
        size = PyByteArray_GET_SIZE(arg);
    } else {
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// Each parameter kind accepts what its pybind11 caster accepts.
bool convert(PyObject *arg, std::string_view &out) { return view_of(arg, out); }

bool convert(PyObject *arg, std::string &out) {
    std::string_view view;
    if (!view_of(arg, view)) return false;
    out.assign(view);
    return true;
}

bool convert(PyObject *arg, py::iterable &out) {
    PyObject *it = PyObject_GetIter(arg);  // tried once and dropped, as pybind11 does
    if (it == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(it);
    out = py::reinterpret_borrow<py::iterable>(arg);
    return true;
}

// The trailing `default` object of get and pop: None when left out.
bool convert(PyObject *arg, py::object &out) {
    out = arg != nullptr ? py::reinterpret_borrow<py::object>(arg) : py::none();
    return true;
}

template <class P>
bool convert_at(PyObject *const *args, Py_ssize_t nargs, std::size_t i, P &out) {
    if (static_cast<Py_ssize_t>(i) < nargs) return convert(args[i], out);
    return std::is_same_v<P, py::object> && convert(nullptr, out);
}

template <auto Adapter>
struct Fast;

template <class R, class S, class... P, R (*Adapter)(S &, P...)>
struct Fast<Adapter> {
    static constexpr Py_ssize_t required = (!std::is_same_v<std::remove_cvref_t<P>, py::object> + ... + 0);
    static inline PyObject *generic = nullptr;  // the pybind11 overload

    static PyObject *call(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        Store *store = nullptr;
        std::tuple<std::remove_cvref_t<P>...> params;
        if (kwnames == nullptr && nargs >= required && nargs <= static_cast<Py_ssize_t>(sizeof...(P)) &&
            (store = store_of(self)) != nullptr && convert_all(args, nargs, params)) {
            try {
                return run(*store, params).release().ptr();
            } catch (py::error_already_set &e) {
                e.restore();
                return nullptr;
            } catch (...) {
                py::detail::try_translate_exceptions();
                return nullptr;
            }
        }
        return call_generic(self, args, nargs, kwnames);
    }

    template <std::size_t... I>
    static bool convert_each([[maybe_unused]] PyObject *const *args, [[maybe_unused]] Py_ssize_t nargs,
                             std::tuple<std::remove_cvref_t<P>...> &out, std::index_sequence<I...>) {
        return (convert_at(args, nargs, I, std::get<I>(out)) && ...);
    }
    static bool convert_all(PyObject *const *args, Py_ssize_t nargs, std::tuple<std::remove_cvref_t<P>...> &out) {
        return convert_each(args, nargs, out, std::index_sequence_for<P...>{});
    }

    static py::object run(Store &store, const std::tuple<std::remove_cvref_t<P>...> &params) {
        if constexpr (std::is_void_v<R>) {
            std::apply([&](const auto &...p) { Adapter(store, p...); }, params);
            return py::none();
        } else if constexpr (py::detail::is_pyobject<R>::value) {
            return std::apply([&](const auto &...p) { return Adapter(store, p...); }, params);
        } else {
            return py::cast(std::apply([&](const auto &...p) { return Adapter(store, p...); }, params));
        }
    }

    static PyObject *call_generic(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        std::vector<PyObject *> stack(static_cast<std::size_t>(total) + 1);
        stack[0] = self;
        std::copy(args, args + total, stack.begin() + 1);
        return PyObject_Vectorcall(generic, stack.data(), static_cast<std::size_t>(nargs) + 1, kwnames);
    }
};

struct Entry {
    PyMethodDef def;
    PyObject *&generic;
    std::string doc;
};

template <auto Adapter>
Entry entry(const char *name) {
    return {{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Fast<Adapter>::call)),
             METH_FASTCALL | METH_KEYWORDS, nullptr},
            Fast<Adapter>::generic,
            {}};
}

// One table for all, kept for the life of the process (the method
// descriptors point into it).
std::vector<Entry> &entries() {
    namespace a = adapters;
    static std::vector<Entry> table = [] {
        std::vector<Entry> t;
        t.push_back(entry<&a::length>("__len__"));
        t.push_back(entry<&a::truth>("__bool__"));
        t.push_back(entry<&a::contains>("__contains__"));
        t.push_back(entry<&a::getitem>("__getitem__"));
        t.push_back(entry<&a::delitem>("__delitem__"));
        t.push_back(entry<&a::get>("get"));
        t.push_back(entry<&a::pop>("pop"));
        t.push_back(entry<&a::add_tag>("add_tag"));
        t.push_back(entry<&a::remove_tag>("remove_tag"));
        t.push_back(entry<&a::discard_tag>("discard_tag"));
        t.push_back(entry<&a::has_tag>("has_tag"));
        t.push_back(entry<&a::erase>("erase"));
        t.push_back(entry<&a::discard>("discard"));
        t.push_back(entry<&a::setitem>("__setitem__"));
        t.push_back(entry<&a::setdefault>("setdefault"));
        t.push_back(entry<&a::add_tags>("add_tags"));
        t.push_back(entry<&a::find>("find"));
        t.push_back(entry<&a::find_any>("find_any"));
        t.push_back(entry<&a::count>("count"));
        t.push_back(entry<&a::count_any>("count_any"));
        return t;
    }();
    return table;
}

}  // namespace

void install_fast_calls(py::class_<Store> &cls) {
    corvane_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    store_info = py::detail::get_type_info(typeid(Store));
    for (Entry &e : entries()) {
        // Keep the pybind11 overload for the calls the direct path leaves to
        // it, and its docstring, which carries the rendered signature.
        const py::object bound = py::reinterpret_borrow<py::dict>(cls.attr("__dict__"))[e.def.ml_name];
        e.generic = PyInstanceMethod_GET_FUNCTION(bound.ptr());
        Py_INCREF(e.generic);
        e.doc = py::str(bound.attr("__doc__"));
        e.def.ml_doc = e.doc.c_str();
        const auto descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(corvane_type, &e.def));
        if (!descr) throw py::error_already_set();
        cls.attr(e.def.ml_name) = descr;
    }
}

}  // namespace corvane
