#pragma once

// The entry points of every bound callable. Each takes CPython's fast-call
// arguments straight from the interpreter, binds them to its parameters
// (positionally or by keyword), converts them by their kinds (convert.hpp),
// then, with the collector paused (collector.hpp), calls one adapter and
// returns its result; every C++ exception ends as a Python error. When no
// overload accepts the arguments, the TypeError lists the accepted
// signatures and describes each argument by a bounded text.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/collector.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/instances.hpp"
#include "bindings/ref.hpp"

namespace corvane {

// A parameter after `self`; `default_text` is shown in the signature, and
// a parameter that has one gets None when left out.
struct Param {
    const char *name;
    const char *default_text = nullptr;
};

// One overload as registered: its signature text in pybind11's notation
// ({%} the class, {T} one parameter, @arg form@result form@), its
// parameters, and a docstring that follows the rendered signature.
struct Overload {
    const char *signature;
    std::vector<Param> params;
    const char *doc = nullptr;
};

enum class Kind { method, constructor, static_method, getter, setter };

struct Binding {
    std::vector<Ref> names;  // interned parameter names
    std::vector<bool> optional;
    bool variadic = false;
};

// What an entry point needs at run time, set once at registration.
struct CallableInfo {
    std::string name;  // the property's name for its accessors
    Kind kind = Kind::method;
    std::vector<Binding> bindings;
    std::vector<std::string> signatures;  // as rendered, without the name
    std::string doc;
    PyMethodDef def{};
};

using EntryPoint = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// The arguments for each parameter of one overload, positional ones first,
// then keywords by name; false when they do not fit it.
bool bind(const Binding &b, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) noexcept;

// Raises the TypeError for arguments that no overload accepts.
[[noreturn]] void mismatch(const CallableInfo &info, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);

// The class's docstring. (Set here rather than by pybind11, which copies it
// without checking the allocation.)
void define_doc(PyTypeObject *cls, const char *doc);

// Fills `info` and puts the callable on `cls` (a property's two accessors
// are installed together by define_property).
void define(PyTypeObject *cls, const char *name, Kind kind, EntryPoint entry, CallableInfo &info,
            std::vector<Overload> overloads);
void define_property(PyTypeObject *cls, const char *name, const char *doc, EntryPoint get, CallableInfo &get_info,
                     const char *get_signature, EntryPoint set, CallableInfo &set_info, const char *set_signature);

namespace calls {

inline PyObject *to_python(Ref r) noexcept { return r.release(); }
inline PyObject *to_python(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject *to_python(std::uint64_t n) { return checked(PyLong_FromUnsignedLongLong(n)); }

template <class Self>
Self *value_of(PyObject *obj) {
    if constexpr (std::is_same_v<Self, Store>) {
        return store_of(obj);
    } else {
        return record_of(obj);
    }
}

template <class T>
InitState init_state(PyObject *obj) {
    if constexpr (std::is_same_v<T, Store>) {
        return init_state_of_store(obj);
    } else {
        return init_state_of_record(obj);
    }
}

template <class... P>
inline constexpr bool variadic = std::is_same_v<std::tuple<P...>, std::tuple<Args>>;

// Binds and converts the arguments; false when they do not fit.
template <class... P>
bool load_params(const Binding &b, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                 std::tuple<P...> &params) {
    if constexpr (variadic<P...>) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) return false;
        std::get<0>(params).items = {args, static_cast<std::size_t>(nargs)};
        return true;
    } else {
        PyObject *values[sizeof...(P) + 1] = {};
        if (!bind(b, args, nargs, kwnames, values)) return false;
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (load(values[I], std::get<I>(params)) && ...);
        }(std::index_sequence_for<P...>{});
    }
}

template <class R, class Call>
PyObject *result_of(Call &&call) {
    if constexpr (std::is_void_v<R>) {
        call();
        return Py_NewRef(Py_None);
    } else {
        return to_python(call());
    }
}

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Params = std::tuple<std::decay_t<A>...>;
};
template <class R, class S, class... P>
struct MethodSignature {
    using Result = R;
    using Self = std::remove_const_t<S>;
    using Params = std::tuple<std::decay_t<P>...>;
};
template <class F>
struct MethodOf;
template <class R, class S, class... P>
struct MethodOf<R (*)(S &, P...)> : MethodSignature<R, S, P...> {
    static constexpr bool with_owner = false;
};
// A method that also needs the Python instance itself.
template <class R, class S, class... P>
struct MethodOf<R (*)(PyObject *, S &, P...)> : MethodSignature<R, S, P...> {
    static constexpr bool with_owner = true;
};

}  // namespace calls

// A method: Fn(Self&, P...) on an initialised instance. `Twin` tells apart
// two methods with one implementation.
template <auto Fn, int Twin = 0>
struct Method {
    using S = calls::MethodOf<decltype(Fn)>;
    static inline CallableInfo info;

    static PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        return guarded([&]() -> PyObject * {
            if (auto *target = calls::value_of<typename S::Self>(self)) {
                typename S::Params params;
                if (calls::load_params(info.bindings[0], args, nargs, kwnames, params)) {
                    const GcPause pause;
                    return calls::result_of<typename S::Result>([&] {
                        return std::apply(
                            [&](auto &...p) {
                                if constexpr (S::with_owner) {
                                    return Fn(self, *target, p...);
                                } else {
                                    return Fn(*target, p...);
                                }
                            },
                            params);
                    });
                }
            }
            mismatch(info, self, args, nargs, kwnames);
        });
    }
};

// __init__ with overloads tried in order, each a factory of the value. An
// initialised instance is left as it is, its arguments unconverted.
template <auto... Fns>
struct Init {
    using T = typename calls::Signature<decltype((Fns, ...))>::Result;
    static inline CallableInfo info;

    template <auto Fn>
    static bool try_build(std::optional<T> &value, const Binding &b, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
        typename calls::Signature<decltype(Fn)>::Params params;
        if (!calls::load_params(b, args, nargs, kwnames, params)) return false;
        value.emplace(std::apply(Fn, params));
        return true;
    }

    static PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        return guarded([&]() -> PyObject * {
            const InitState state = calls::init_state<T>(self);
            if (state == InitState::initialised) return Py_NewRef(Py_None);
            if (state == InitState::fresh) {
                std::optional<T> value;
                std::size_t i = 0;
                (try_build<Fns>(value, info.bindings[i++], args, nargs, kwnames) || ...);
                if (value) {
                    attach(self, std::move(*value));
                    return Py_NewRef(Py_None);
                }
            }
            mismatch(info, self, args, nargs, kwnames);
        });
    }
};

// A static method: one building a new Corvane, or returning a new object.
template <auto Fn>
struct Static {
    using Result = typename calls::Signature<decltype(Fn)>::Result;
    static inline CallableInfo info;

    static PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        return guarded([&]() -> PyObject * {
            typename calls::Signature<decltype(Fn)>::Params params;
            if (!calls::load_params(info.bindings[0], args, nargs, kwnames, params)) {
                mismatch(info, nullptr, args, nargs, kwnames);
            }
            if constexpr (std::is_same_v<Result, Ref>) {
                return std::apply(Fn, params).release();
            } else {
                return new_corvane(std::apply(Fn, params)).release();
            }
        });
    }
};

// The accessors of a property of Object: Get(const Record&), Set(Record&, P).
template <auto Get>
struct Getter {
    static inline CallableInfo info;

    static PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        return guarded([&]() -> PyObject * {
            if (nargs == 1 && kwnames == nullptr) {
                if (const Record *r = record_of(args[0])) {
                    const GcPause pause;
                    return calls::to_python(Get(*r));
                }
            }
            mismatch(info, nullptr, args, nargs, kwnames);
        });
    }
};

template <auto Set>
struct Setter {
    using S = calls::MethodOf<decltype(Set)>;
    static inline CallableInfo info;

    static PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        return guarded([&]() -> PyObject * {
            if (nargs == 2 && kwnames == nullptr) {
                Record *r = record_of(args[0]);
                std::tuple_element_t<0, typename S::Params> value;
                if (r != nullptr && load(args[1], value)) {
                    const GcPause pause;
                    Set(*r, value);
                    return Py_NewRef(Py_None);
                }
            }
            mismatch(info, nullptr, args, nargs, kwnames);
        });
    }
};

template <auto Fn, int Twin = 0>
void define_method(PyTypeObject *cls, const char *name, Overload overload) {
    define(cls, name, Kind::method, &Method<Fn, Twin>::entry, Method<Fn, Twin>::info, {std::move(overload)});
}

template <auto... Fns>
void define_init(PyTypeObject *cls, std::vector<Overload> overloads) {
    define(cls, "__init__", Kind::constructor, &Init<Fns...>::entry, Init<Fns...>::info, std::move(overloads));
}

template <auto Fn>
void define_static(PyTypeObject *cls, const char *name, Overload overload) {
    define(cls, name, Kind::static_method, &Static<Fn>::entry, Static<Fn>::info, {std::move(overload)});
}

template <auto Get, auto Set>
void define_property(PyTypeObject *cls, const char *name, const char *doc, const char *get_signature,
                     const char *set_signature) {
    define_property(cls, name, doc, &Getter<Get>::entry, Getter<Get>::info, get_signature, &Setter<Set>::entry,
                    Setter<Set>::info, set_signature);
}

}  // namespace corvane
