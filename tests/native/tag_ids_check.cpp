// Checks an entry's tag ids against std::set under random edits: ids below
// and above 2^16, counts that take them through every form (seven narrow
// ids inline, three wide ones, a sorted list, a table) and back, renaming to
// lower ids as bucket renumbering does, shrinking, moving. Prints "ok" and
// exits 0, or names the first mismatch.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/tag_ids.hpp"

using namespace corvane;

namespace {

std::mt19937 rng(2024);
int failures = 0;

void expect(bool ok, const char *what, long a = 0, long b = 0) {
    if (!ok && failures++ < 20) std::printf("MISMATCH %s: %ld vs %ld\n", what, a, b);
}

Id random_id(double wide_share) {
    std::uniform_real_distribution<double> coin(0, 1);
    if (coin(rng) < wide_share) return std::uniform_int_distribution<Id>(TagIds::narrow_limit, 5'000'000)(rng);
    return std::uniform_int_distribution<Id>(0, TagIds::narrow_limit - 1)(rng);
}

void check(const TagIds &ids, const std::set<Id> &model) {
    expect(ids.size() == model.size(), "size", ids.size(), static_cast<long>(model.size()));
    std::set<Id> seen;
    ids.for_each([&](Id id) { expect(seen.insert(id).second, "visited twice", id); });
    expect(seen == model, "contents", static_cast<long>(seen.size()), static_cast<long>(model.size()));
    for (Id id : model) expect(ids.contains(id), "held id not found", id);
    for (int i = 0; i < 8; ++i) {
        const Id probe = random_id(0.5);
        expect(ids.contains(probe) == (model.count(probe) != 0), "probe", probe);
    }
}

// One walk of random edits around a target count, with ids above 2^16 at
// the given share.
void walk(std::uint32_t target, double wide_share, int steps) {
    TagIds ids;
    std::set<Id> model;
    std::uniform_int_distribution<int> op(0, 9);
    for (int step = 0; step < steps; ++step) {
        const int what = op(rng);
        if (what < 4 && model.size() < target * 2 + 2) {  // add a batch, as a change() does
            std::vector<Id> adding;
            const auto n = std::uniform_int_distribution<std::uint32_t>(1, std::max<std::uint32_t>(1, target / 2))(rng);
            while (adding.size() < n) {
                const Id id = random_id(wide_share);
                if (model.count(id) == 0 && std::find(adding.begin(), adding.end(), id) == adding.end()) {
                    adding.push_back(id);
                }
            }
            ids.reserve(adding);
            for (Id id : adding) {
                ids.insert(id);
                model.insert(id);
            }
        } else if (what < 7 && !model.empty()) {  // erase a held id
            auto at = model.begin();
            std::advance(at, std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(rng));
            ids.erase(*at);
            model.erase(at);
        } else if (what == 7 && !model.empty()) {  // rename a held id to a lower free one
            auto at = model.begin();
            std::advance(at, std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(rng));
            const Id from = *at;
            if (from == 0) continue;
            const Id to = std::uniform_int_distribution<Id>(0, from - 1)(rng);
            if (model.count(to) != 0) continue;
            ids.rename(from, to);
            model.erase(from);
            model.insert(to);
        } else if (what == 8) {
            ids.shrink();
        } else {  // moved, as entries are when others are erased
            TagIds moved(std::move(ids));
            expect(ids.empty(), "moved-from not empty", ids.size());
            ids = std::move(moved);
        }
        check(ids, model);
    }
}

}  // namespace

int main() {
    for (std::uint32_t target : {2u, 3u, 5u, 7u, 12u, 40u, 64u, 90u, 300u}) {
        for (double wide_share : {0.0, 0.05, 0.5, 1.0}) {
            for (int seed = 0; seed < 4; ++seed) walk(target, wide_share, 400);
        }
    }
    if (failures != 0) return 1;
    std::printf("ok\n");
    return 0;
}
