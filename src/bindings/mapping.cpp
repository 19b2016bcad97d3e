// Corvane as a mapping from keys to tag sets, and its exports.
//
// Results are built before anything is removed, so a key or tag that fails to
// decode leaves the store as it was.

#include "bindings/adapters.hpp"
#include "core/bulk.hpp"

namespace corvane::adapters {

std::uint64_t length(const Store &s) { return s.size(); }

bool truth(const Store &s) { return s.size() != 0; }

bool contains(const Store &s, std::string_view key) { return s.contains(key); }

py::list keys(const Store &s) {
    const GcPause pause;
    return key_list(s.objects | std::views::transform([](const auto &entry) { return &entry.first; }));
}

// Iterates a snapshot, so the store may change during the loop.
py::iterator iterate(const Store &s) { return py::iter(keys(s)); }

py::list values(const Store &s) {
    const GcPause pause;
    py::list out(s.size());
    Py_ssize_t i = 0;
    for (const auto &entry : s.objects) {
        PyList_SET_ITEM(out.ptr(), i++, to_py_set(entry.second).release().ptr());
    }
    return out;
}

py::list items(const Store &s) { return corvane::items(s); }

py::dict to_dict(const Store &s) { return corvane::to_dict(s); }

py::str text(const Store &s) {
    const py::dict d = corvane::to_dict(s);
    PyObject *out = PyUnicode_FromFormat("Corvane(%S)", d.ptr());
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(out);
}

StrSet getitem(const Store &s, std::string_view key) {
    const GcPause pause;
    return to_py_set(s.existing(key)->second);
}

void setitem(Store &s, const std::string &key, const py::iterable &tags) { s.put(key, to_tag_set(tags)); }

void delitem(Store &s, std::string_view key) { s.erase_at(s.existing(key)); }

void clear(Store &s) { s.clear(); }

py::object get(const Store &s, std::string_view key, const py::object &fallback) {
    const GcPause pause;
    const auto it = s.objects.find(key);
    if (it == s.objects.end()) return fallback;
    return to_py_set(it->second);
}

StrSet setdefault(Store &s, const std::string &key, const py::iterable &fallback) {
    {
        const GcPause pause;
        const auto it = s.objects.find(key);
        if (it != s.objects.end()) return to_py_set(it->second);
    }
    // Converting may run code that changes the store; put looks the key up afresh.
    TagSet tags = to_tag_set(fallback);
    StrSet out = to_py_set(tags);
    s.put(key, tags);
    return out;
}

py::object pop(Store &s, std::string_view key, const py::object &fallback) {
    const GcPause pause;
    const auto it = s.objects.find(key);
    if (it == s.objects.end()) return fallback;
    StrSet out = to_py_set(it->second);
    s.erase_at(it);
    return out;
}

StrSetPair popitem(Store &s) {
    if (s.size() == 0) throw py::key_error("popitem(): Corvane is empty");
    const GcPause pause;
    const auto it = s.objects.begin();
    const py::str key = to_str(it->first);
    const StrSet tags = to_py_set(it->second);
    auto out = py::reinterpret_steal<StrSetPair>(PyTuple_Pack(2, key.ptr(), tags.ptr()));
    if (!out) throw py::error_already_set();
    s.erase_at(it);
    return out;
}

void update(Store &s, const py::dict &d) { corvane::update(s, d); }

}  // namespace corvane::adapters
