// Packed entries: the form in which entries travel between processes and
// rest in files, written from str objects without converting them and built
// from without a Python object per tag occurrence.
//
// A chunk is the four bytes "CVP1" and its number of entries; then, for
// each entry, its key, its number of tags and each tag. A text is its length
// and its bytes (UTF-8, or bytes kept as bytes when they are not); every
// number is a little-endian u32. A chunk is read as untrusted data: every
// length is checked against what is left of it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/adapters.hpp"
#include "bindings/results.hpp"
#include "core/crc32.hpp"

namespace corvane::adapters {

namespace {

constexpr std::string_view magic = "CVP1";
constexpr std::size_t head_bytes = magic.size() + 4;
constexpr std::size_t least_entry_bytes = 8;  // an empty key and no tags
constexpr Py_ssize_t most_parts = 65536;

// One chunk being written.
class ChunkWriter {
public:
    ChunkWriter() {
        out_.append(magic);
        u32(0);
    }

    void key(std::string_view text) {
        if (++entries_ == 0) raise(PyExc_ValueError, "a packed chunk holds fewer than 2**32 entries");
        patch(tags_at_, tags_);
        this->text(text);
        tags_at_ = out_.size();
        tags_ = 0;
        u32(0);
    }
    void tag(std::string_view text) {
        if (++tags_ == 0) raise(PyExc_ValueError, "a packed entry holds fewer than 2**32 tags");
        this->text(text);
    }
    // The finished chunk as bytes.
    Ref done() {
        patch(tags_at_, tags_);
        patch(magic.size(), entries_);
        return new_bytes(out_);
    }

private:
    void u32(std::uint32_t n) {
        const char b[4] = {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)};
        out_.append(b, 4);
    }
    void patch(std::size_t at, std::uint32_t n) {
        if (at == 0) return;
        for (int i = 0; i < 4; ++i) out_[at + std::size_t(i)] = char((n >> (8 * i)) & 0xFF);
    }
    void text(std::string_view t) {
        if (t.size() > UINT32_MAX) raise(PyExc_ValueError, "a packed key or tag is shorter than 4 GiB");
        u32(static_cast<std::uint32_t>(t.size()));
        out_.append(t);
    }

    std::string out_;
    std::uint32_t entries_ = 0, tags_ = 0;
    std::size_t tags_at_ = 0;
};

// The bytes of a key or tag as the store would take it, held by the caller.
std::string_view text_bytes(PyObject *value, const char *where) {
    std::string_view bytes;
    if (const Refusal r = utf8_of(value, bytes); r != Refusal::none) refuse_element(value, r, where);
    return bytes;
}

void write_tags(ChunkWriter &out, PyObject *tags, const char *where) {
    for_each_element(Iterable{Ref::borrow(tags), Ref()}, [&](PyObject *item) { out.tag(text_bytes(item, where)); });
}

// Reads a chunk, failing with where it stops being one.
class ChunkReader {
public:
    ChunkReader(std::string_view bytes, std::size_t number) : bytes_(bytes), number_(number) {}

    // The number of entries the chunk says it holds, at most as many as fit.
    std::uint32_t head() {
        if (bytes_.substr(0, magic.size()) != magic) fail("it does not begin with \"CVP1\"");
        at_ = magic.size();
        const std::uint32_t n = u32();
        if (n > (bytes_.size() - head_bytes) / least_entry_bytes) fail("it holds fewer entries than it says");
        return n;
    }
    std::uint32_t u32() {
        if (bytes_.size() - at_ < 4) fail("it ends inside a number");
        const auto *p = reinterpret_cast<const unsigned char *>(bytes_.data() + at_);
        at_ += 4;
        return load_le32(p);
    }
    std::string_view text() {
        const std::uint32_t n = u32();
        if (bytes_.size() - at_ < n) fail("a text runs past its end");
        const std::string_view out = bytes_.substr(at_, n);
        at_ += n;
        return out;
    }
    // A tag count no larger than the bytes left could hold.
    std::uint32_t tag_count() {
        const std::uint32_t n = u32();
        if (n > (bytes_.size() - at_) / 4) fail("it holds fewer tags than an entry says");
        return n;
    }
    void end() const {
        if (at_ != bytes_.size()) fail("bytes follow its last entry");
    }

private:
    [[noreturn]] void fail(const char *why) const {
        PyErr_Format(PyExc_ValueError, "chunk %zu is not packed entries: %s (at byte %zu)", number_, why, at_);
        throw ErrorSet{};
    }

    std::string_view bytes_;
    std::size_t number_, at_ = 0;
};

// A text read from a chunk as the store holds it: a str, or bytes that are not UTF-8.
TextArg stored_text(std::string_view bytes, std::uint64_t hash) {
    Ref owner = decoded_or_null(bytes);
    if (!owner) owner = new_bytes(bytes);
    return TextArg{PyText(std::move(owner)), hash};
}

std::uint64_t hash_of_bytes(std::string_view bytes) noexcept {
    return static_cast<std::uint64_t>(_Py_HashBytes(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The tags of a build, one str each however often they occur: a table of
// their keyed hashes, growing at three quarters full.
class TagTexts {
public:
    const TextArg &get(std::string_view bytes) {
        const std::uint64_t hash = hash_of_bytes(bytes);
        std::size_t i = slot_of(hash);
        for (; slots_[i] != 0; i = (i + 1) & mask_) {
            const TextArg &known = texts_[slots_[i] - 1];
            if (known.hash == hash && known.text.view() == bytes) return known;
        }
        texts_.push_back(stored_text(bytes, hash));
        slots_[i] = static_cast<std::uint32_t>(texts_.size());
        if (texts_.size() * 4 > slots_.size() * 3) grow();
        return texts_.back();
    }

private:
    std::size_t slot_of(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    void grow() {
        std::vector<std::uint32_t>(slots_.size() * 2).swap(slots_);
        mask_ = slots_.size() - 1;
        for (std::size_t t = 0; t < texts_.size(); ++t) {
            std::size_t i = slot_of(texts_[t].hash);
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = static_cast<std::uint32_t>(t + 1);
        }
    }

    std::vector<TextArg> texts_;
    std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(64);
    std::size_t mask_ = 63;
};

// A chunk's bytes, held from the object that exports them.
class HeldBuffer {
public:
    explicit HeldBuffer(PyObject *chunk) {
        if (PyObject_GetBuffer(chunk, &view_, PyBUF_SIMPLE) != 0) propagate();
    }
    HeldBuffer(HeldBuffer &&other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    HeldBuffer &operator=(HeldBuffer &&) = delete;
    ~HeldBuffer() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    std::string_view bytes() const noexcept {
        return {static_cast<const char *>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

}  // namespace

Ref pack(const Iterable &keys, const Iterable &values, const Count &parts) {
    if (parts.value < 1 || parts.value > most_parts) raise(PyExc_ValueError, "parts must be from 1 to 65536");
    const auto n = static_cast<std::size_t>(parts.value);
    std::vector<ChunkWriter> chunks(n);
    const Ref key_iterator = iterator_of(keys), value_iterator = iterator_of(values);
    Ref key = next_of(key_iterator);
    Ref value = next_of(value_iterator);
    while (key && value) {
        const std::string_view bytes = text_bytes(key.get(), "'keys'");
        ChunkWriter &chunk = chunks[n == 1 ? 0 : crc32(bytes) % n];
        chunk.key(bytes);
        write_tags(chunk, value.get(), "'keys'");
        key = next_of(key_iterator);
        value = next_of(value_iterator);
    }
    if (key || value) raise(PyExc_ValueError, "keys and values must have equal length");
    Ref out = new_list(n);
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), Py_ssize_t(i), chunks[i].done().release());
    return out;
}

Store from_packed(const Iterable &chunks) {
    std::vector<HeldBuffer> held;
    const Ref iterator = iterator_of(chunks);
    while (const Ref chunk = next_of(iterator)) held.emplace_back(chunk.get());
    std::size_t entries = 0;
    for (std::size_t c = 0; c < held.size(); ++c) entries += ChunkReader(held[c].bytes(), c).head();
    Store s;
    s.reserve(entries);
    TagTexts tag_texts;
    TagList tags;
    for (std::size_t c = 0; c < held.size(); ++c) {
        ChunkReader in(held[c].bytes(), c);
        for (std::uint32_t n = in.head(); n > 0; --n) {
            const std::string_view key = in.text();
            tags.clear();
            for (std::uint32_t m = in.tag_count(); m > 0; --m) tags.push_back(tag_texts.get(in.text()));
            s.put(stored_text(key, hash_of_bytes(key)), tags);
        }
        in.end();
    }
    s.fit();
    return s;
}

}  // namespace corvane::adapters
