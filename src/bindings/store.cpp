#include "bindings/store.hpp"

#include <algorithm>
#include <new>

namespace corvane {

bool Store::keep_key_set(Id b, Ref keys) noexcept {
    const auto n = static_cast<std::size_t>(PySet_GET_SIZE(keys.get()));
    const std::size_t budget = std::max<std::size_t>(size(), 1024);
    if (n > budget) return false;
    if (memo_weight - bucket(b).memo.weight() + n > budget) forget_key_sets();
    if (kept_.size() >= 2 * std::size_t(tag_index.buckets.size()) + 64) prune_kept();
    try {
        kept_.push_back(b);
    } catch (const std::bad_alloc &) {
        return false;
    }
    PyObject_GC_UnTrack(keys.get());
    set_memo(b, KeySetMemo{std::move(keys)});
    return true;
}

void Store::prune_kept() noexcept {
    std::sort(kept_.begin(), kept_.end());
    kept_.erase(std::unique(kept_.begin(), kept_.end()), kept_.end());
    std::erase_if(kept_, [&](Id b) { return b >= tag_index.buckets.size() || key_set_of(b) == nullptr; });
}

void Store::forget_key_sets() noexcept {
    for (Id b : kept_) {
        if (b < tag_index.buckets.size() && tag_index.buckets[b].tag) drop_memo(b);
    }
    kept_.clear();
}

}  // namespace corvane
