// Checks the carrier containers and their kernels against std::set: every
// kernel form this processor runs (the portable ones always), every pair of
// block forms, blocks changing form both ways, and whole sets of carriers
// under random edits. Prints "ok" and exits 0, or names the first mismatch.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <vector>

// Carrier buffers come from here, so that chosen allocations can fail.
namespace {
bool out_of_memory = false;
void *test_malloc(std::size_t n) { return out_of_memory ? nullptr : std::malloc(n); }
void *test_aligned_alloc(std::size_t align, std::size_t n) {
    return out_of_memory ? nullptr : std::aligned_alloc(align, n);
}
}  // namespace
#define CORVANE_CARRIERS_MALLOC test_malloc
#define CORVANE_CARRIERS_ALIGNED_ALLOC test_aligned_alloc

#include "core/carriers/carriers.hpp"
#include "core/carriers/ops.hpp"

using namespace corvane;
using namespace corvane::carriers;

namespace {

std::mt19937 rng(12345);
int failures = 0;

void expect(bool ok, const char *what, long a = 0, long b = 0) {
    if (!ok && failures++ < 20) std::printf("MISMATCH %s: %ld vs %ld\n", what, a, b);
}

std::vector<Offset> random_offsets(std::uint32_t n, std::uint32_t span) {
    std::set<Offset> s;
    std::uniform_int_distribution<std::uint32_t> pick(0, span - 1);
    while (s.size() < n) s.insert(static_cast<Offset>(pick(rng)));
    return {s.begin(), s.end()};
}

// An array in a buffer of its own size, or the least room an array has, as
// the containers keep them, so that the sanitizer sees any read past it.
std::vector<Offset> padded(std::vector<Offset> v) {
    if (v.size() >= array_room_min) {
        v.shrink_to_fit();
        return v;
    }
    std::vector<Offset> roomy(array_room_min);
    std::copy(v.begin(), v.end(), roomy.begin());
    roomy.resize(v.size());  // keeps the room
    return roomy;
}

std::uint32_t reference_common(const std::vector<Offset> &a, const std::vector<Offset> &b) {
    std::vector<Offset> out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return static_cast<std::uint32_t>(out.size());
}

struct Forms {
    const char *name;
    simd::Kernels kernels;
};

// Every set of kernels this processor can run.
std::vector<Forms> runnable_forms() {
    std::vector<Forms> out = {{"portable",
                               {simd::count_and_portable, simd::and_into_portable, simd::or_into_portable,
                                simd::merge_count_portable, simd::merge_into_portable}}};
#if defined(__x86_64__)
    const simd::Cpu cpu = simd::detect_cpu();
    // The module's own detection agrees with the compiler's, where that one works (GCC's libgcc).
    __builtin_cpu_init();
    expect(cpu.popcnt == (__builtin_cpu_supports("popcnt") != 0), "popcnt detected");
    expect(cpu.sse42 == (__builtin_cpu_supports("sse4.2") != 0), "sse4.2 detected");
    expect(cpu.avx2 == (__builtin_cpu_supports("avx2") != 0), "avx2 detected");
    expect(cpu.avx512_popcnt ==
               (__builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vpopcntdq") != 0),
           "avx512 detected");
    if (cpu.popcnt && cpu.sse42) {
        out.push_back({"popcnt+sse4.2",
                       {simd::count_and_popcnt, simd::and_into_popcnt, simd::or_into_portable, simd::merge_count_sse,
                        simd::merge_into_sse}});
    }
    if (cpu.avx2) {
        out.push_back({"avx2",
                       {simd::count_and_avx2, simd::and_into_avx2, simd::or_into_avx2, simd::merge_count_portable,
                        simd::merge_into_portable}});
    }
    if (cpu.avx512_popcnt) {
        out.push_back({"avx512",
                       {simd::count_and_avx512, simd::and_into_avx512, simd::or_into_avx512, simd::merge_count_portable,
                        simd::merge_into_portable}});
    }
#endif
    return out;
}

void check_kernels() {
    for (const Forms &f : runnable_forms()) {
        const simd::Kernels &k = f.kernels;
        for (int round = 0; round < 150; ++round) {
            // Arrays of every size class, including ones led by offset 0.
            const std::uint32_t span = round % 3 == 0 ? 64 : round % 3 == 1 ? 4096 : 65536;
            const std::uint32_t na = std::uniform_int_distribution<std::uint32_t>(0, std::min(span, 600u))(rng);
            const std::uint32_t nb = std::uniform_int_distribution<std::uint32_t>(0, std::min(span, 600u))(rng);
            auto a = padded(random_offsets(na, span)), b = padded(random_offsets(nb, span));
            if (round % 5 == 0 && !a.empty()) a[0] = 0;
            if (round % 7 == 0 && !b.empty()) b[0] = 0;
            std::sort(a.begin(), a.end());
            a.erase(std::unique(a.begin(), a.end()), a.end());
            a = padded(a);
            const std::uint32_t want = reference_common(a, b);
            expect(k.merge_count(a.data(), static_cast<std::uint32_t>(a.size()), b.data(),
                                 static_cast<std::uint32_t>(b.size())) == want,
                   f.name);
            std::vector<Offset> out(std::max(a.size(), b.size()));
            const std::uint32_t n = k.merge_into(a.data(), static_cast<std::uint32_t>(a.size()), b.data(),
                                                 static_cast<std::uint32_t>(b.size()), out.data());
            std::vector<Offset> common;
            std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
            expect(n == want && std::equal(common.begin(), common.end(), out.begin()), f.name, n, want);

            // Bitmaps of the same offsets.
            std::vector<Word> wa(bitmap::words), wb(bitmap::words), w(bitmap::words);
            for (Offset x : a) bitmap::set(wa.data(), x);
            for (Offset x : b) bitmap::set(wb.data(), x);
            expect(k.count_and(wa.data(), wb.data(), bitmap::words) == want, f.name);
            expect(k.and_into(w.data(), wa.data(), wb.data(), bitmap::words) == want, f.name);
            std::set<Offset> either(a.begin(), a.end());
            either.insert(b.begin(), b.end());
            k.or_into(w.data(), wa.data(), wb.data(), bitmap::words);
            expect(k.count_and(w.data(), w.data(), bitmap::words) == either.size(), f.name);
            k.or_into(wa.data(), wa.data(), wb.data(), bitmap::words);  // in place, as unions go on
            expect(std::equal(w.begin(), w.end(), wa.begin()), f.name);
        }
    }
}

// Checks one Carriers against its reference and its own invariants.
void check_same(const Carriers &c, const std::set<Id> &ref, const char *where) {
    std::vector<Id> ids;
    c.for_each([&](Id id) { ids.push_back(id); });
    expect(c.size() == ref.size() && std::equal(ids.begin(), ids.end(), ref.begin(), ref.end()), where,
           static_cast<long>(c.size()), static_cast<long>(ref.size()));
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < c.blocks().size(); ++i) {
        const Block &b = c.blocks()[i];
        total += b.count;
        expect(b.count > 0 && !b.pinned, "block empty or pinned");
        expect(i == 0 || c.blocks()[i - 1].key < b.key, "blocks out of order");
        expect(b.bitmap ? b.count > array_max : b.count <= b.capacity && b.capacity <= array_limit, "block form",
               b.count, b.bitmap ? 0 : b.capacity);
        if (!b.bitmap) expect(std::is_sorted(b.offsets(), b.offsets() + b.count), "array unsorted");
    }
    expect(total == c.size(), "counts");
}

void insert_reserved(Carriers &c, std::set<Id> &ref, Id id) {
    c.reserve(id);
    c.insert(id);
    c.settle(id);
    ref.insert(id);
}

// Renames held ids to free ones, all reserved first, as a store moves entries.
void rename_all(Carriers &c, std::set<Id> &ref, const std::vector<std::pair<Id, Id>> &moves) {
    for (auto [from, to] : moves) c.reserve_rename(from, to);
    for (auto [from, to] : moves) {
        c.rename(from, to);
        ref.erase(from);
        ref.insert(to);
    }
    for (auto [from, to] : moves) c.settle(to);
}

// Random edits that push blocks past both limits and back, across blocks.
void check_edits() {
    for (int round = 0; round < 24; ++round) {
        Carriers c;
        std::set<Id> ref;
        const Id universe = (round % 4 + 1) * 40000;
        std::uniform_int_distribution<Id> pick(0, universe - 1);
        for (int step = 0; step < 60; ++step) {
            const int what = std::uniform_int_distribution<int>(0, 3)(rng);
            const int n = std::uniform_int_distribution<int>(1, 900)(rng);
            if (what <= 1) {  // grow, with room reserved per id
                for (int i = 0; i < n; ++i) {
                    const Id id = pick(rng);
                    if (!ref.count(id)) insert_reserved(c, ref, id);
                }
            } else if (what == 2) {  // shrink
                for (int i = 0; i < n && !ref.empty(); ++i) {
                    auto it = ref.begin();
                    std::advance(it, std::uniform_int_distribution<std::size_t>(0, ref.size() - 1)(rng));
                    c.erase(*it);
                    ref.erase(it);
                }
            } else if (!ref.empty()) {  // renames to free ids, reserved first, as a store moves entries
                std::vector<std::pair<Id, Id>> moves;
                std::set<Id> taken = ref;
                for (int i = 0; i < n / 10 + 1; ++i) {
                    auto it = ref.begin();
                    std::advance(it, std::uniform_int_distribution<std::size_t>(0, ref.size() - 1)(rng));
                    const Id to = pick(rng);
                    if (taken.count(to) ||
                        std::any_of(moves.begin(), moves.end(), [&](auto &m) { return m.first == *it; }))
                        continue;
                    taken.insert(to);
                    moves.emplace_back(*it, to);
                }
                rename_all(c, ref, moves);
            }
            check_same(c, ref, "edits");
        }
    }
}

// Reservations that go unused leave the carriers as they were.
void check_unused_reservations() {
    Carriers c;
    std::set<Id> ref;
    for (Id id = 0; id < 600; ++id) {
        c.reserve(id * 3);
        c.insert(id * 3);
        c.settle(id * 3);
        ref.insert(id * 3);
    }
    c.reserve(70000, 5);
    c.reserve(1, 700);  // turns the block into a bitmap for room
    c.settle(70000);
    c.settle(1);
    check_same(c, ref, "unused reservations");
}

std::set<Id> random_set(std::uint32_t n_blocks, double density) {
    std::set<Id> s;
    std::bernoulli_distribution keep(density);
    for (Id id = 0; id < n_blocks * 65536; id += 1 + std::uniform_int_distribution<Id>(0, 3)(rng) * (density < 0.01)) {
        if (keep(rng)) s.insert(id);
    }
    return s;
}

Carriers carriers_of(const std::set<Id> &s) {
    Carriers c;
    for (Id id : s) {
        c.reserve(id);
        c.insert(id);
        c.settle(id);
    }
    return c;
}

// Intersections and unions of `held` (ordered by size, as a store passes
// them) against those of their references.
void compare_operations(const std::vector<std::set<Id>> &refs, const std::vector<const Carriers *> &sets) {
    std::set<Id> all = refs[0], any;
    for (const std::set<Id> &r : refs) {
        std::set<Id> next;
        std::set_intersection(all.begin(), all.end(), r.begin(), r.end(), std::inserter(next, next.end()));
        all = next;
        any.insert(r.begin(), r.end());
    }
    std::vector<Id> got;
    intersect(sets, [&](Id id) { got.push_back(id); });
    expect(std::equal(got.begin(), got.end(), all.begin(), all.end()), "intersect", static_cast<long>(got.size()),
           static_cast<long>(all.size()));
    expect(intersect_count(sets) == all.size(), "intersect_count", static_cast<long>(intersect_count(sets)),
           static_cast<long>(all.size()));
    got.clear();
    unite(sets, [&](Id id) { got.push_back(id); });
    expect(std::equal(got.begin(), got.end(), any.begin(), any.end()), "unite", static_cast<long>(got.size()),
           static_cast<long>(any.size()));
    expect(unite_count(sets) == any.size(), "unite_count", static_cast<long>(unite_count(sets)),
           static_cast<long>(any.size()));
}

void check_set_operations() {
    const double densities[] = {0.00005, 0.001, 0.004, 0.008, 0.02, 0.3};
    for (int round = 0; round < 36; ++round) {
        const std::size_t k = std::uniform_int_distribution<std::size_t>(1, 5)(rng);
        std::vector<std::set<Id>> refs;
        std::vector<Carriers> held;
        for (std::size_t i = 0; i < k; ++i) {
            refs.push_back(random_set(3, densities[std::uniform_int_distribution<int>(0, 5)(rng)]));
            if (round % 6 == 0) refs.back().erase(refs.back().lower_bound(65536), refs.back().lower_bound(131072));
            held.push_back(carriers_of(refs.back()));
        }
        std::vector<std::size_t> order(k);
        for (std::size_t i = 0; i < k; ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return refs[a].size() < refs[b].size(); });
        std::vector<const Carriers *> sets;
        std::vector<std::set<Id>> ordered;
        for (std::size_t i : order) {
            sets.push_back(&held[i]);
            ordered.push_back(refs[i]);
        }
        compare_operations(ordered, sets);
    }
}

// A bitmap falling to array_max whose new array cannot be allocated keeps
// its offsets in its own buffer: the block must still turn into a bitmap
// again when renames or inserts fill it, and every kernel stay in bounds.
void check_failed_switch_to_array() {
    for (const bool by_renames : {true, false}) {
        Carriers c, other, third;
        std::set<Id> ref, other_ref, third_ref;
        for (Id id = 0; id < 700; ++id) insert_reserved(c, ref, id);
        for (Id id = 65536; id < 65536 + 5000; ++id) insert_reserved(c, ref, id);
        out_of_memory = true;
        for (Id id = 699; id >= 512; --id) {
            c.erase(id);
            ref.erase(id);
        }
        out_of_memory = false;
        check_same(c, ref, "array kept in a bitmap's buffer");
        if (by_renames) {  // as a batch removal moves entries from the end into freed places
            std::vector<std::pair<Id, Id>> moves;
            for (Id k = 0; k < 3000; ++k) moves.emplace_back(65536 + 4999 - k, 700 + k);
            rename_all(c, ref, moves);
        } else {
            for (Id id = 700; id < 1000; ++id) insert_reserved(c, ref, id);
        }
        check_same(c, ref, "refilled after a failed switch");
        for (Id id = 0; id < 70000; id += 2) insert_reserved(other, other_ref, id);
        for (Id id = 0; id < 70000; id += 3) insert_reserved(third, third_ref, id);
        compare_operations({third_ref, other_ref, ref}, {&third, &other, &c});
    }
}

// A kernel given an array longer than any block may hold (3,000 offsets)
// still answers within its scratch space.
void check_kernels_bound_their_output() {
    std::vector<Offset> longer(3000);
    for (Offset i = 0; i < 3000; ++i) longer[i] = static_cast<Offset>(i * 2);
    Word *bits = bitmap::allocate();
    for (Offset x = 0; x < 8000; x += 3) bitmap::set(bits, x);
    std::vector<Offset> shorter;
    for (Offset x = 0; x < 7000; x += 5) shorter.push_back(x);
    std::unique_ptr<Slot> slot(new Slot);
    const View arr{0, false, 3000, longer.data()}, bitmap_view{0, true, 2667, bits};
    const View other{0, false, static_cast<std::uint32_t>(shorter.size()), shorter.data()};
    expect(common(arr, bitmap_view, *slot).count == 1000, "long array with bitmap");
    expect(common(bitmap_view, arr, *slot).count == 1000, "bitmap with long array");
    expect(common(arr, other, *slot).count == 600, "long array with array");
    std::free(bits);
}

}  // namespace

int main() {
    check_kernels();
    check_edits();
    check_unused_reservations();
    check_set_operations();
    check_failed_switch_to_array();
    check_kernels_bound_their_output();
    if (failures != 0) {
        std::printf("%d mismatches\n", failures);
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
