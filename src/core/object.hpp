#pragma once

#include <unordered_set>

namespace corvane {

// One entry: for a record held in a store, `data` is its key (a second copy of
// the map key, whose address stands for the entry in the tag index).
template <class Key, class Tag>
struct Object {
    Key data{};
    std::unordered_set<Tag> tags{};
};

}  // namespace corvane
