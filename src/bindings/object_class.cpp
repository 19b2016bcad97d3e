// The standalone record class Object: a data string and a set of tags.

#include "bindings/callables.hpp"
#include "bindings/registration.hpp"

namespace corvane {

namespace {

Record empty_record() { return Record{}; }

Record record_of_parts(const Bytes &data, const SetOfTags &tags) { return Record{data.bytes, tags.tags}; }

Ref decoded(std::string_view bytes) {
    return Ref::steal(checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr)));
}

Ref data_of(const Record &r) { return decoded(r.data); }

void set_data(Record &r, const Bytes &data) { r.data = data.bytes; }

Ref tags_of(const Record &r) {
    Ref out = Ref::steal(checked(PySet_New(nullptr)));
    for (const std::string &tag : r.tags) {
        if (PySet_Add(out.get(), decoded(tag).get()) != 0) propagate();
    }
    return out;
}

void set_tags(Record &r, const SetOfTags &tags) { r.tags = tags.tags; }

}  // namespace

void register_object(PyTypeObject *t) {
    define_doc(t, "A small standalone record: a `data` string and a set of `tags`.");
    define_init<&empty_record, &record_of_parts>(
        t, {{"({%}) -> None", {}, "An empty record: `data` is \"\" and `tags` is empty."},
            {"({%}, {str}, {@collections.abc.Set@set@[str]}) -> None",
             {{"data"}, {"tags"}},
             "A record of `data` and a copy of the set `tags`."}});
    define_property<&data_of, &set_data>(
        t, "data", "The data string; set it from a str, bytes or bytearray (TypeError otherwise).", "({%}) -> str",
        "({%}, {str}) -> None");
    define_property<&tags_of, &set_tags>(
        t, "tags", "A new set of the tags on every read; set it from a set kind (TypeError otherwise).",
        "({%}) -> @collections.abc.Set@set@[str]", "({%}, {@collections.abc.Set@set@[str]}) -> None");
}

}  // namespace corvane
