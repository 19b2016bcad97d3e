#include "bindings/callables.hpp"

#include <cstring>
#include <string>

namespace corvane {

namespace {

// ---- bounded descriptions of arguments -------------------------------------

constexpr Py_ssize_t shown_chars = 40;  // of a str, bytes or bytearray
constexpr Py_ssize_t shown_items = 3;   // of a list, tuple, set or dict

std::string opaque(PyObject *obj) { return "<" + type_name(Py_TYPE(obj)) + " object>"; }

std::string utf8_or(PyObject *text, const std::string &fallback) {
    const char *s = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return s;
}

std::string repr_of(PyObject *obj) {
    const Ref r = Ref::steal(PyObject_Repr(obj));
    return utf8_or(r.get(), opaque(obj));
}

std::string describe(PyObject *obj, bool nested);

// The first items of a container, described, and "..." for the rest.
std::string items_of(PyObject *obj, const char *open, const char *close, Py_ssize_t size) {
    std::string out = open;
    Py_ssize_t shown = 0;
    auto add = [&](const std::string &text) {
        if (shown > 0) out += ", ";
        out += text;
        ++shown;
    };
    if (PyDict_CheckExact(obj)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (shown < shown_items && PyDict_Next(obj, &pos, &key, &value)) {
            add(describe(key, true) + ": " + describe(value, true));
        }
    } else if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < size && shown < shown_items; ++i) {
            add(describe(PyList_CheckExact(obj) ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i), true));
        }
    } else {  // an exact set or frozenset: iterating one runs no Python code
        const Ref it = Ref::steal(PyObject_GetIter(obj));
        for (Ref item; it && shown < shown_items && (item = Ref::steal(PyIter_Next(it.get())));) {
            add(describe(item.get(), true));
        }
        PyErr_Clear();
    }
    if (size > shown) out += shown > 0 ? ", ..." : "...";
    if (PyTuple_CheckExact(obj) && size == 1) out += ",";
    return out + close;
}

// Only builtin values are shown by value, and only in part; nothing the
// caller defined is asked for its repr, so a description is short and cheap
// whatever the argument (a store of a million keys is "<corvane.Corvane
// object>").
std::string describe(PyObject *obj, bool nested) {
    if (obj == Py_None || PyBool_Check(obj) || PyFloat_CheckExact(obj)) return repr_of(obj);
    if (PyLong_CheckExact(obj)) return _PyLong_NumBits(obj) <= 64 ? repr_of(obj) : "<int object>";
    const bool text = PyUnicode_CheckExact(obj), bytes = PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj);
    if (text || bytes) {
        const Py_ssize_t size = text ? PyUnicode_GET_LENGTH(obj) : PySequence_Size(obj);
        if (size <= shown_chars) return repr_of(obj);
        const Ref head = Ref::steal(PySequence_GetSlice(obj, 0, shown_chars));
        return head ? repr_of(head.get()) + "..." : opaque(obj);
    }
    const bool sequence = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    const bool set = PySet_CheckExact(obj) || PyFrozenSet_CheckExact(obj);
    if (sequence || set || PyDict_CheckExact(obj)) {
        const Py_ssize_t size = PyObject_Length(obj);
        if (nested) return "<" + type_name(Py_TYPE(obj)) + " of " + std::to_string(size) + " items>";
        if (PyList_CheckExact(obj)) return items_of(obj, "[", "]", size);
        if (PyTuple_CheckExact(obj)) return items_of(obj, "(", ")", size);
        if (PyDict_CheckExact(obj)) return items_of(obj, "{", "}", size);
        if (size == 0) return PySet_CheckExact(obj) ? "set()" : "frozenset()";
        return PySet_CheckExact(obj) ? items_of(obj, "{", "}", size) : items_of(obj, "frozenset({", "})", size);
    }
    return opaque(obj);
}

// ---- signatures -----------------------------------------------------------

// Renders a signature text as pybind11 does: "{" starts a parameter (named
// `self` first for methods), "}" ends it (with its default), "%" is the
// class, and "@arg@result@" picks the form for the position.
std::string render(const char *text, const std::vector<Param> &params, bool has_self, const std::string &cls) {
    std::string out;
    std::size_t arg = 0;
    bool in_result = false, starred = false;
    auto param_at = [&](std::size_t i) -> const Param * {
        const std::size_t k = has_self ? i - 1 : i;
        return (!has_self || i > 0) && k < params.size() ? &params[k] : nullptr;
    };
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '{') {
            starred = p[1] == '@' && p[2] == '*';
            if (starred) continue;
            if (has_self && arg == 0) {
                out += "self";
            } else if (const Param *param = param_at(arg)) {
                out += param->name;
            } else {
                out += "arg" + std::to_string(arg);
            }
            out += ": ";
        } else if (*p == '}') {
            if (!starred) {
                if (const Param *param = param_at(arg); param != nullptr && param->default_text != nullptr) {
                    out += " = ";
                    out += param->default_text;
                }
                ++arg;
            }
        } else if (*p == '%') {
            out += cls;
        } else if (*p == '@') {
            const char *arg_form = p + 1;
            const char *result_form = std::strchr(arg_form, '@') + 1;
            const char *end = std::strchr(result_form, '@');
            out.append(in_result ? result_form : arg_form, in_result ? end : result_form - 1);
            p = end;
        } else {
            if (p[0] == '-' && p[1] == '>') in_result = true;
            out += *p;
        }
    }
    return out;
}

// "(self: corvane.Corvane, d: dict) -> None" as "corvane.Corvane(d: dict)".
std::string constructor_form(const std::string &sig, const std::string &cls) {
    const std::size_t ret = sig.rfind(" -> ");
    const std::size_t comma = sig.find(", ");
    const std::string params = comma < ret ? sig.substr(comma + 2, ret - comma - 2) : ")";
    return cls + "(" + params;
}

Binding binding_of(const Overload &o) {
    Binding b;
    b.variadic = std::strstr(o.signature, "{@*args") != nullptr;
    for (const Param &p : o.params) {
        b.names.push_back(Ref::steal(checked(PyUnicode_InternFromString(p.name))));
        b.optional.push_back(p.default_text != nullptr);
    }
    return b;
}

void set_entry(CallableInfo &info, const char *name, EntryPoint entry) {
    info.def.ml_name = name;
    info.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    info.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    info.def.ml_doc = info.doc.c_str();
}

void set_attr(PyTypeObject *cls, const char *name, const Ref &value) {
    if (PyObject_SetAttrString(reinterpret_cast<PyObject *>(cls), name, value.get()) != 0) propagate();
}

Ref function_of(CallableInfo &info) { return Ref::steal(checked(PyCFunction_NewEx(&info.def, nullptr, nullptr))); }

}  // namespace

bool bind(const Binding &b, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) noexcept {
    const auto n = static_cast<Py_ssize_t>(b.names.size());
    if (nargs > n) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *kw = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < n && kw != b.names[i].get() && PyUnicode_Compare(kw, b.names[i].get()) != 0) ++i;
        if (i == n || values[i] != nullptr) return false;  // unknown, or also given by position
        values[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (values[i] == nullptr && !b.optional[i]) return false;
    }
    return true;
}

void mismatch(const CallableInfo &info, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const bool ctor = info.kind == Kind::constructor;
    std::string msg = info.name + "(): incompatible " + (ctor ? "constructor" : "function") +
                      " arguments. The following argument types are supported:\n";
    for (std::size_t i = 0; i < info.signatures.size(); ++i) {
        msg += "    " + std::to_string(i + 1) + ". " + info.signatures[i] + "\n";
    }
    msg += "\nInvoked with: ";
    bool first = true;
    auto add = [&](const std::string &text) {
        if (!first) msg += ", ";
        msg += text;
        first = false;
    };
    if (self != nullptr && !ctor) add(describe(self, false));
    for (Py_ssize_t i = 0; i < nargs; ++i) add(describe(args[i], false));
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        msg += first ? "kwargs: " : "; kwargs: ";
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (k > 0) msg += ", ";
            msg += utf8_or(PyTuple_GET_ITEM(kwnames, k), "?") + "=" + describe(args[nargs + k], false);
        }
    }
    raise(PyExc_TypeError, msg.c_str());
}

void define_doc(PyTypeObject *cls, const char *doc) {
    set_attr(cls, "__doc__", Ref::steal(checked(PyUnicode_FromString(doc))));
}

void define(PyTypeObject *cls, const char *name, Kind kind, EntryPoint entry, CallableInfo &info,
            std::vector<Overload> overloads) {
    const std::string owner = type_name(cls);
    info.name = name;
    info.kind = kind;
    const bool has_self = kind == Kind::method || kind == Kind::constructor;
    const bool overloaded = overloads.size() > 1;
    if (overloaded) info.doc = std::string(name) + "(*args, **kwargs)\nOverloaded function.\n\n";
    for (std::size_t i = 0; i < overloads.size(); ++i) {
        const Overload &o = overloads[i];
        const std::string sig = render(o.signature, o.params, has_self, owner);
        info.bindings.push_back(binding_of(o));
        info.signatures.push_back(kind == Kind::constructor ? constructor_form(sig, owner) : sig);
        if (i > 0) info.doc += "\n";
        if (overloaded) info.doc += std::to_string(i + 1) + ". ";
        info.doc += std::string(name) + sig + "\n";
        if (o.doc != nullptr) info.doc += std::string("\n") + o.doc + "\n";
    }
    set_entry(info, name, entry);
    Ref member;
    if (kind == Kind::static_method) {
        member = Ref::steal(checked(PyStaticMethod_New(function_of(info).get())));
    } else {
        member = Ref::steal(checked(PyDescr_NewMethod(cls, &info.def)));
    }
    set_attr(cls, name, member);
}

void define_property(PyTypeObject *cls, const char *name, const char *doc, EntryPoint get, CallableInfo &get_info,
                     const char *get_signature, EntryPoint set, CallableInfo &set_info, const char *set_signature) {
    const std::string owner = type_name(cls);
    const std::vector<Param> accessor_params = {{"arg0"}, {"arg1"}};
    for (auto [info, signature, kind] :
         {std::tuple{&get_info, get_signature, Kind::getter}, std::tuple{&set_info, set_signature, Kind::setter}}) {
        info->name = name;
        info->kind = kind;
        info->signatures = {render(signature, accessor_params, false, owner)};
        info->doc = info->signatures[0] + "\n";
    }
    set_entry(get_info, name, get);
    set_entry(set_info, name, set);
    const Ref text = Ref::steal(checked(PyUnicode_FromString(doc)));
    const Ref property = Ref::steal(checked(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyProperty_Type), function_of(get_info).get(),
                                     function_of(set_info).get(), Py_None, text.get(), nullptr)));
    set_attr(cls, name, property);
}

}  // namespace corvane
