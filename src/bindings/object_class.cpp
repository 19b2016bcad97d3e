// The standalone record class Object: a data string and a set of tags.

#include <pybind11/stl.h>

#include "bindings/convert.hpp"
#include "bindings/registration.hpp"

namespace corvane {

void register_object(py::module_ &m) {
    py::class_<Record>(m, "Object")
        .def(py::init<>())
        .def(py::init([](std::string data, TagSet tags) { return Record{std::move(data), std::move(tags)}; }),
             py::arg("data"), py::arg("tags"))
        .def_property(
            "data", [](const Record &r) { return r.data; },
            [](Record &r, std::string data) { r.data = std::move(data); })
        .def_property(
            "tags", [](const Record &r) { return r.tags; }, [](Record &r, TagSet tags) { r.tags = std::move(tags); });
}

}  // namespace corvane
