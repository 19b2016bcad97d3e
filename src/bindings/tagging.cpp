// Tag editing, tag queries and conditional removal.

#include <algorithm>

#include "bindings/adapters.hpp"
#include "bindings/results.hpp"

namespace corvane::adapters {

namespace {

// The bucket of the one tag a non-empty `tags` names (perhaps repeatedly),
// or no_id when it names several or one not in use. Compares the texts, so
// that several tags cost no lookup here.
Id single_bucket(const Store &s, const TagList &tags) {
    const TextArg &first = tags.front();
    for (const TextArg &t : tags) {
        if (t.text.identity() != first.text.identity() && t.text.view() != first.text.view()) return no_id;
    }
    return s.find_tag(first);
}

// The distinct buckets of the tags in use among `tags`, the largest first.
std::vector<Id> buckets_of(const Store &s, const TagList &tags) {
    std::vector<Id> out;
    out.reserve(tags.size());
    for (const TextArg &t : tags) {
        if (const Id b = s.find_tag(t); b != no_id) out.push_back(b);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    std::sort(out.begin(), out.end(),
              [&](Id a, Id b) { return s.bucket(a).carriers.size() > s.bucket(b).carriers.size(); });
    return out;
}

std::vector<Id> carrier_ids(const Store &s, Id b) {
    std::vector<Id> ids;
    ids.reserve(s.bucket(b).carriers.size());
    s.bucket(b).carriers.for_each([&](Id id) { ids.push_back(id); });
    return ids;
}

// Whether the store keeps (now) the set of the keys carrying bucket b: from
// the second query of it on. `built` gets a set the budget cannot hold.
bool kept(Store &s, Id b, Ref &built) {
    if (s.key_set_of(b) != nullptr) return true;
    if (!s.seen(b)) {
        s.mark_seen(b);
        return false;
    }
    built = key_set(s, carrier_ids(s, b), Fill::dense);
    return s.keep_key_set(b, built);
}

// The set of the keys carrying bucket b alone: a copy of the kept one, or
// one built now; a set the budget cannot hold is given as built, so that it
// costs no more than a first query.
Ref bucket_key_set(Store &s, Id b) {
    Ref built;
    if (kept(s, b, built)) return copy_key_set(s, b);
    return built ? std::move(built) : key_set(s, carrier_ids(s, b));
}

// Whether the store keeps the key sets of all `buckets` (keeping one can
// drop the others, when the budget is reached).
bool all_kept(Store &s, const std::vector<Id> &buckets) {
    bool all = true;
    for (Id b : buckets) {
        Ref built;
        all = kept(s, b, built) && all;  // every one marked or kept
    }
    return all && std::all_of(buckets.begin(), buckets.end(), [&](Id b) { return s.key_set_of(b) != nullptr; });
}

// The keys of the entries carrying every tag (All) or any tag of `tags`;
// an empty tag list selects every key. From the second query of a single
// tag, or of several rare tags, their key sets are kept for the next one,
// which then only copies them, as fast as a set can be made.
template <bool All>
Ref select(Store &s, const TagList &tags) {
    if (tags.empty()) return key_set(s);
    if constexpr (All) {
        const Id b = single_bucket(s, tags);
        if (b != no_id) return bucket_key_set(s, b);
        return key_set(s, s.match_all(tags));
    } else {
        const std::vector<Id> buckets = buckets_of(s, tags);
        if (buckets.size() == 1) return bucket_key_set(s, buckets.front());
        const bool rare = std::all_of(buckets.begin(), buckets.end(), [&](Id b) { return s.rare(b); });
        if (!buckets.empty() && rare && all_kept(s, buckets)) return union_of_key_sets(s, buckets);
        return key_set(s, s.match_any(std::span<const Id>(buckets)));
    }
}

// Keeps the entries carrying every tag (All) or any tag; returns their keys,
// all of them decoded before the first removal.
template <bool All>
Ref retain(Store &s, const TagList &tags) {
    if (tags.empty()) return keys(s);
    const std::vector<Id> keep = All ? s.match_all(tags) : s.match_any(tags);
    Ref out = key_list(s, keep);
    s.retain(keep);
    return out;
}

}  // namespace

void add_tag(Store &s, const Storable &key, const Storable &tag) { s.add_tag(key.arg, tag.arg); }

void add_tags(Store &s, const Storable &key, const StorableTags &tags) { s.add_tags(key.arg, tags.list); }

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

Ref find(Store &s, const ProbeTags &tags) { return select<true>(s, tags.list); }

Ref query(Store &s, const Args &tags) { return select<true>(s, tag_list(tags, "*args")); }

Ref find_any(Store &s, const ProbeTags &tags) { return select<false>(s, tags.list); }

Ref query_any(Store &s, const Args &tags) { return select<false>(s, tag_list(tags, "*args")); }

std::uint64_t count(const Store &s, const ProbeTags &tags) { return s.count_all(tags.list); }

std::uint64_t count_any(const Store &s, const ProbeTags &tags) { return s.count_any(tags.list); }

Ref retain_where(Store &s, const ProbeTags &tags) { return retain<true>(s, tags.list); }

Ref retain_where_any(Store &s, const ProbeTags &tags) { return retain<false>(s, tags.list); }

Ref erase_where(Store &s, const ProbeTags &tags) {
    std::vector<Id> doomed = tags.list.empty() ? std::vector<Id>() : s.match_all(tags.list);
    Ref out = key_list(s, doomed);
    s.erase_all(std::move(doomed));
    return out;
}

}  // namespace corvane::adapters
