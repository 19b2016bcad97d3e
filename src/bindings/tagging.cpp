// Tag editing, tag queries and conditional removal.

#include "bindings/adapters.hpp"
#include "bindings/results.hpp"

namespace corvane::adapters {

namespace {

constexpr const char *tags_arg = "'tags'";

// The keys of the entries carrying every tag (All) or any tag of `tags`;
// an empty tag list selects every key.
template <bool All>
Ref select(const Store &s, const TagList &tags) {
    const GcPause pause;
    if (tags.empty()) return key_set(s);
    return key_set(s, All ? s.match_all(tags) : s.match_any(tags));
}

// Keeps the entries carrying every tag (All) or any tag; returns their keys,
// all of them decoded before the first removal.
template <bool All>
Ref retain(Store &s, const Iterable &arg) {
    const TagList tags = tag_list(arg, Use::probe, tags_arg);
    if (tags.empty()) return keys(s);
    const GcPause pause;
    const std::vector<Id> keep = All ? s.match_all(tags) : s.match_any(tags);
    Ref out = key_list(s, keep);
    s.retain(keep);
    return out;
}

}  // namespace

void add_tag(Store &s, const Storable &key, const Storable &tag) { s.add_tag(key.arg, tag.arg); }

void add_tags(Store &s, const Storable &key, const Iterable &tags) {
    const TagList list = tag_list(tags, Use::store, tags_arg);
    s.add_tags(key.arg, list);
}

void remove_tag(Store &s, const Probe &key, const Probe &tag) { s.remove_tag(key.arg, tag.arg); }

void discard_tag(Store &s, const Probe &key, const Probe &tag) { s.discard_tag(key.arg, tag.arg); }

bool has_tag(const Store &s, const Probe &key, const Probe &tag) { return s.has_tag(key.arg, tag.arg); }

Ref tags(const Store &s) {
    Ref out = new_list(s.tag_count());
    Py_ssize_t i = 0;
    s.for_each_bucket([&](const Store::Bucket &b) { PyList_SET_ITEM(out.get(), i++, Py_NewRef(str_of(b.tag))); });
    return out;
}

Ref erase(Store &s, const Probe &key) {
    const GcPause pause;
    const Id id = s.existing(key.arg);
    Ref out = tag_set(s, s.entry(id));
    s.erase(id);
    return out;
}

bool discard(Store &s, const Probe &key) {
    const Id id = s.find(key.arg);
    if (id != no_id) s.erase(id);
    return id != no_id;
}

Ref find(const Store &s, const Iterable &tags) { return select<true>(s, tag_list(tags, Use::probe, tags_arg)); }

Ref query(const Store &s, const Args &tags) { return select<true>(s, tag_list(tags, "*args")); }

Ref find_any(const Store &s, const Iterable &tags) { return select<false>(s, tag_list(tags, Use::probe, tags_arg)); }

Ref query_any(const Store &s, const Args &tags) { return select<false>(s, tag_list(tags, "*args")); }

std::uint64_t count(const Store &s, const Iterable &tags) {
    return s.count_all(tag_list(tags, Use::probe, tags_arg));
}

std::uint64_t count_any(const Store &s, const Iterable &tags) {
    return s.count_any(tag_list(tags, Use::probe, tags_arg));
}

Ref retain_where(Store &s, const Iterable &tags) { return retain<true>(s, tags); }

Ref retain_where_any(Store &s, const Iterable &tags) { return retain<false>(s, tags); }

Ref erase_where(Store &s, const Iterable &tags) {
    const TagList list = tag_list(tags, Use::probe, tags_arg);
    const GcPause pause;
    std::vector<Id> doomed = list.empty() ? std::vector<Id>() : s.match_all(list);
    Ref out = key_list(s, doomed);
    s.erase_all(std::move(doomed));
    return out;
}

}  // namespace corvane::adapters
