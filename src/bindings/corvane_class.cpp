// The member table of the Python class Corvane, in registration order:
// overloads of one name are tried in the order they appear here.

#include <pybind11/stl.h>

#include "bindings/adapters.hpp"
#include "bindings/registration.hpp"
#include "core/bulk.hpp"

namespace corvane {

void register_corvane(py::module_ &m) {
    namespace a = adapters;
    const py::arg key("key"), tag("tag"), tags("tags"), d("d"), keys("keys"), values("values");

    py::class_<Store> cls(m, "Corvane");
    cls.def(py::init<>())
        .def(py::init(&from_dict), d)
        .def(py::init(&from_keys_values), keys, values)
        .def(py::init(&from_items), py::arg("items"))
        .def_static("from_keys_values", &from_keys_values, keys, values)
        .def_static("from_dict", &from_dict, d)
        .def("__len__", &a::length)
        .def("__bool__", &a::truth)
        .def("__contains__", &a::contains, key)
        .def("__iter__", &a::iterate)
        .def("__str__", &a::text)
        .def("__repr__", &a::text)
        .def("__getitem__", &a::getitem, key)
        .def("__setitem__", &a::setitem, key, tags)
        .def("__delitem__", &a::delitem, key)
        .def("clear", &a::clear)
        .def("keys", &a::keys)
        .def("values", &a::values)
        .def("items", &a::items)
        .def("tags", &a::tags)
        .def("to_dict", &a::to_dict)
        .def("get", &a::get, key, py::arg("default") = py::none())
        .def("setdefault", &a::setdefault, key, py::arg("default"))
        .def("pop", &a::pop, key, py::arg("default") = py::none())
        .def("popitem", &a::popitem)
        .def("update", &a::update, d)
        .def("add_tag", &a::add_tag, key, tag)
        .def("add_tags", &a::add_tags, key, tags)
        .def("remove_tag", &a::remove_tag, key, tag)
        .def("discard_tag", &a::discard_tag, key, tag)
        .def("has_tag", &a::has_tag, key, tag)
        .def("find", &a::find, tags)
        .def("query", &a::query)
        .def("find_any", &a::find_any, tags)
        .def("query_any", &a::query_any)
        .def("count", &a::count, tags)
        .def("count_any", &a::count_any, tags)
        .def("retain_where", &a::retain_where, tags)
        .def("retain_where_any", &a::retain_where_any, tags)
        .def("erase", &a::erase, key)
        .def("discard", &a::discard, key)
        .def("erase_where", &a::erase_where, tags);
    install_fast_calls(cls);
}

}  // namespace corvane
