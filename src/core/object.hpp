#pragma once

#include <functional>
#include <unordered_set>

namespace corvane {

// A free-standing record of a data string and a set of tags, linked to no
// store. `Hash` hashes a tag; give it a per-process key when callers choose
// the tags.
template <class Key, class Tag, class Hash = std::hash<Tag>>
struct Object {
    using TagSet = std::unordered_set<Tag, Hash>;
    Key data{};
    TagSet tags{};
};

}  // namespace corvane
