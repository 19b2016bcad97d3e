#include "bindings/store.hpp"

#include <algorithm>
#include <new>

namespace corvane {

bool Store::keep_key_set(Id b, Ref &keys) noexcept {
    const std::size_t cost = KeySetMemo::weight_of(keys.get());
    const std::size_t budget = std::max<std::size_t>(heap_floor() / 4, 64 * 1024);
    if (cost > budget) return false;
    if (memo_weight - bucket(b).memo.weight() + cost > budget) forget_key_sets();
    tidy_kept();
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
    if (kept_.capacity() > 2 * kept_.size() + 64) {
        std::vector<Id> fitted;
        try {
            fitted.reserve(kept_.size() + kept_.size() / 4);
        } catch (const std::bad_alloc &) {
            return;
        }
        fitted.assign(kept_.begin(), kept_.end());
        kept_.swap(fitted);
    }
}

void Store::forget_key_sets() noexcept {
    for (Id b : kept_) {
        if (b < tag_index.buckets.size() && tag_index.buckets[b].tag) drop_memo(b);
    }
    std::vector<Id>().swap(kept_);
}

}  // namespace corvane
