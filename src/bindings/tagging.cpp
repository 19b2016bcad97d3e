// Tag editing, tag queries and conditional removal.

#include <pybind11/stl.h>

#include "bindings/adapters.hpp"

namespace corvane::adapters {

namespace {

TagSet tag_set_of(const py::args &args) {
    TagSet tags;
    tags.reserve(args.size());
    for (const py::handle arg : args) tags.insert(to_bytes(arg));
    return tags;
}

// The keys of all entries carrying every tag (All) or any tag of `tags`;
// an empty tag set selects every key.
template <bool All>
py::set select(const Store &s, const TagSet &tags) {
    const GcPause pause;
    py::set out;
    KeyBlocks add([&](const py::str &key) { add_to(out, key); });
    if (tags.empty()) {
        for (const auto &entry : s.objects) add(&entry.first);
    } else if constexpr (All) {
        s.for_each_match_all(tags, add);
    } else {
        s.for_each_match_any(tags, add);
    }
    add.flush();
    return out;
}

// Keeps the entries carrying every tag (All) or any tag; returns their keys,
// all decoded before the first removal.
template <bool All>
py::list retain(Store &s, const py::iterable &arg) {
    const TagSet tags = to_tag_set(arg);
    if (tags.empty()) return keys(s);
    const GcPause pause;
    const Store::MatchSet keep = All ? s.match_all(tags) : s.match_any(tags);
    py::list out = key_list(keep);
    s.retain(keep);
    return out;
}

}  // namespace

void add_tag(Store &s, std::string_view key, std::string_view tag) { s.add_tag(key, tag); }

void add_tags(Store &s, const std::string &key, const py::iterable &tags) { s.add_tags(key, to_tag_set(tags)); }

void remove_tag(Store &s, std::string_view key, std::string_view tag) { s.remove_tag(key, tag); }

void discard_tag(Store &s, std::string_view key, std::string_view tag) { s.discard_tag(key, tag); }

bool has_tag(const Store &s, std::string_view key, std::string_view tag) { return s.has_tag(key, tag); }

std::vector<std::string> tags(const Store &s) { return s.all_tags(); }

StrSet erase(Store &s, std::string_view key) {
    const GcPause pause;
    const auto it = s.existing(key);
    StrSet out = to_py_set(it->second);
    s.erase_at(it);
    return out;
}

bool discard(Store &s, std::string_view key) { return s.try_remove(key).has_value(); }

py::set find(const Store &s, const py::iterable &tags) { return select<true>(s, to_tag_set(tags)); }

py::set query(const Store &s, const py::args &tags) { return select<true>(s, tag_set_of(tags)); }

py::set find_any(const Store &s, const py::iterable &tags) { return select<false>(s, to_tag_set(tags)); }

py::set query_any(const Store &s, const py::args &tags) { return select<false>(s, tag_set_of(tags)); }

std::uint64_t count(const Store &s, const py::iterable &tags) { return s.count_all(to_tag_set(tags)); }

std::uint64_t count_any(const Store &s, const py::iterable &tags) { return s.count_any(to_tag_set(tags)); }

py::list retain_where(Store &s, const py::iterable &tags) { return retain<true>(s, tags); }

py::list retain_where_any(Store &s, const py::iterable &tags) { return retain<false>(s, tags); }

py::list erase_where(Store &s, const py::iterable &tags) {
    const TagSet tag_set = to_tag_set(tags);
    const GcPause pause;
    py::list out;
    s.erase_where(tag_set, [&](const std::vector<Store::EntryPtr> &doomed) { out = key_list(doomed); });
    return out;
}

}  // namespace corvane::adapters
