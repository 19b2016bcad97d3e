#include "bindings/convert.hpp"

#include <algorithm>
#include <string>

#include "bindings/collector.hpp"

namespace corvane {

namespace {

// A claimed len() only pre-sizes, and never past this many elements.
constexpr Py_ssize_t max_presize = 1024;

void presize(TagList &out, PyObject *obj) {
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) propagate();
        PyErr_Clear();
        return;
    }
    out.reserve(static_cast<std::size_t>(std::min(n, max_presize)));
}

}  // namespace

std::string type_name(PyTypeObject *type) {
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) return type->tp_name;
    auto *heap = reinterpret_cast<PyHeapTypeObject *>(type);
    const char *qualname = PyUnicode_Check(heap->ht_qualname) ? PyUnicode_AsUTF8(heap->ht_qualname) : nullptr;
    PyObject *module = PyDict_GetItemString(type->tp_dict, "__module__");
    const char *module_name = module != nullptr && PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : nullptr;
    PyErr_Clear();
    if (qualname == nullptr) return type->tp_name;
    if (module_name == nullptr || std::string(module_name) == "builtins") return qualname;
    return std::string(module_name) + "." + qualname;
}

void refuse_element(PyObject *value, Refusal why, const char *where) {
    std::string msg = "Unable to cast Python instance of type <class '" + type_name(Py_TYPE(value)) +
                      "'> to a key or tag (in " + where + "): ";
    msg += why == Refusal::surrogate ? "a str key or tag must be encodable as UTF-8 (it holds a lone surrogate)"
                                     : "a key or tag must be str, bytes or bytearray";
    raise(PyExc_RuntimeError, msg.c_str());
}

void to_tag_list(const Iterable &tags, TagList &out, Use use, const char *where) {
    const GcPause::Lift caller_code;  // len() and iteration may run it
    out.clear();
    presize(out, tags.object.get());
    for_each_element(tags, [&](PyObject *item) { out.push_back(element_text(item, use, where)); });
}

TagList tag_list(const Args &args, const char *where) {
    TagList out;
    out.reserve(args.items.size());
    for (PyObject *arg : args.items) out.push_back(element_text(arg, Use::probe, where));
    return out;
}

bool load(PyObject *value, SetOfTags &out) {
    static PyObject *abc_set = [] {
        const Ref abc = Ref::steal(checked(PyImport_ImportModule("collections.abc")));
        return checked(PyObject_GetAttrString(abc.get(), "Set"));  // kept for the process
    }();
    const bool accepted = PyAnySet_Check(value) || Py_IS_TYPE(value, &PyDictKeys_Type);
    if (!accepted) {
        const int is_set = PyObject_IsInstance(value, abc_set);
        if (is_set < 0) propagate();
        if (is_set == 0) return false;
    }
    const Ref it = Ref::steal(checked(PyObject_GetIter(value)));
    Record::TagSet tags;
    while (const Ref item = next_of(it)) {
        std::string_view bytes;
        if (utf8_of(item.get(), bytes) != Refusal::none) return false;
        tags.emplace(bytes);
    }
    out.tags = std::move(tags);
    return true;
}

}  // namespace corvane
