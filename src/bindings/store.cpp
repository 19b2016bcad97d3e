#include "bindings/store.hpp"

#include <algorithm>
#include <new>

namespace corvane {

bool Store::keep_key_set(Id b, const Ref &keys) noexcept {
    const auto n = static_cast<std::size_t>(PySet_GET_SIZE(keys.get()));
    const std::size_t budget = std::max<std::size_t>(size(), 1024);
    if (n > budget) return false;
    if (kept_elements_ + n > budget) forget_key_sets();
    try {
        kept_.push_back(b);
    } catch (const std::bad_alloc &) {
        return false;
    }
    set_memo(b, keys);
    kept_elements_ += n;
    return true;
}

void Store::forget_key_sets() noexcept {
    for (Id b : kept_) {
        if (b < tag_index.buckets.size() && tag_index.buckets[b].tag) set_memo(b, Ref());
    }
    kept_.clear();
    kept_elements_ = 0;
}

}  // namespace corvane
