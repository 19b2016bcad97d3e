#pragma once

// The methods of the Python class Corvane. A key or tag arrives as a view of
// the argument's own bytes where no Python code runs before it is used, and as
// an owned copy where a tags argument is converted after it (that conversion
// may change a bytearray key).

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/convert.hpp"

namespace corvane::adapters {

using StrSetPair = py::typing::Tuple<py::str, StrSet>;

// Mapping protocol and exports.
std::uint64_t length(const Store &s);
bool truth(const Store &s);
bool contains(const Store &s, std::string_view key);
py::iterator iterate(const Store &s);
py::str text(const Store &s);
StrSet getitem(const Store &s, std::string_view key);
void setitem(Store &s, const std::string &key, const py::iterable &tags);
void delitem(Store &s, std::string_view key);
void clear(Store &s);
py::list keys(const Store &s);
py::list values(const Store &s);
py::list items(const Store &s);
py::dict to_dict(const Store &s);
py::object get(const Store &s, std::string_view key, const py::object &fallback);
StrSet setdefault(Store &s, const std::string &key, const py::iterable &fallback);
py::object pop(Store &s, std::string_view key, const py::object &fallback);
StrSetPair popitem(Store &s);
void update(Store &s, const py::dict &d);

// Tag editing.
void add_tag(Store &s, std::string_view key, std::string_view tag);
void add_tags(Store &s, const std::string &key, const py::iterable &tags);
void remove_tag(Store &s, std::string_view key, std::string_view tag);
void discard_tag(Store &s, std::string_view key, std::string_view tag);
bool has_tag(const Store &s, std::string_view key, std::string_view tag);
std::vector<std::string> tags(const Store &s);
StrSet erase(Store &s, std::string_view key);
bool discard(Store &s, std::string_view key);

// Tag queries.
py::set find(const Store &s, const py::iterable &tags);
py::set query(const Store &s, const py::args &tags);
py::set find_any(const Store &s, const py::iterable &tags);
py::set query_any(const Store &s, const py::args &tags);
std::uint64_t count(const Store &s, const py::iterable &tags);
std::uint64_t count_any(const Store &s, const py::iterable &tags);

// Conditional removal.
py::list retain_where(Store &s, const py::iterable &tags);
py::list retain_where_any(Store &s, const py::iterable &tags);
py::list erase_where(Store &s, const py::iterable &tags);

}  // namespace corvane::adapters
