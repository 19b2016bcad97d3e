// The member table of the Python class Corvane, in registration order:
// overloads of one name are tried in the order they appear here.

#include "bindings/adapters.hpp"
#include "bindings/callables.hpp"
#include "bindings/registration.hpp"

namespace corvane {

void register_corvane(PyTypeObject *t) {
    namespace a = adapters;
    const Param key{"key"}, tag{"tag"}, tags{"tags"}, d{"d"}, keys{"keys"}, values{"values"};
    const Param fallback{"default", "None"}, required_default{"default"};

    define_doc(t,
               "A mapping from str keys to non-empty sets of str tags, with an inverted index from each tag to its "
               "keys, so that tag queries need no scan.");

    define_init<&a::make_empty, &a::from_dict, &a::from_keys_values, &a::from_items>(
        t, {{"({%}) -> None", {}, "An empty store."},
            {"({%}, {dict}) -> None", {d}, "The entries of a dict of key to tags; an empty tags value stores nothing."},
            {"({%}, {collections.abc.Iterable}, {collections.abc.Iterable}) -> None",
             {keys, values},
             "Keys paired with tags in order; ValueError when one side runs out first."},
            {"({%}, {collections.abc.Iterable}) -> None",
             {{"items"}},
             "(key, tags) tuples; TypeError for an item that is not a 2-tuple."}});
    define_static<&a::from_keys_values>(t, "from_keys_values",
                                        {"({collections.abc.Iterable}, {collections.abc.Iterable}) -> %",
                                         {keys, values},
                                         "A new Corvane, as Corvane(keys, values)."});
    define_static<&a::from_dict>(t, "from_dict", {"({dict}) -> %", {d}, "A new Corvane, as Corvane(d)."});
    define_static<&a::pack>(t, "pack",
                            {"({collections.abc.Iterable}, {collections.abc.Iterable}, {int}) -> list",
                             {keys, values, {"parts"}},
                             "Keys paired with tags in order, packed into `parts` bytes chunks for from_packed(); "
                             "a key goes to part zlib.crc32(its UTF-8) % parts."});
    define_static<&a::from_packed>(t, "from_packed",
                                   {"({collections.abc.Iterable}) -> %",
                                    {{"chunks"}},
                                    "A new Corvane of the entries of pack()'s chunks (bytes-like), in order, as "
                                    "Corvane(keys, values); ValueError for bytes that are not a chunk, naming it "
                                    "and the byte where it stops being one."});
    define_method<&a::length>(t, "__len__",
                              {"({%}) -> @typing.SupportsInt | typing.SupportsIndex@int@", {}, "The number of keys."});
    define_method<&a::truth>(t, "__bool__", {"({%}) -> bool", {}, "Whether any key is present."});
    define_method<&a::contains>(t, "__contains__", {"({%}, {str}) -> bool", {key}, "Whether the key is present."});
    define_method<&a::iterate>(t, "__iter__",
                               {"({%}) -> collections.abc.Iterator",
                                {},
                                "An iterator over a snapshot of the keys: the store may change during the loop."});
    define_method<&a::text>(t, "__str__", {"({%}) -> str", {}, "Corvane({key: {tags}, ...}), in iteration order."});
    define_method<&a::text, 1>(t, "__repr__", {"({%}) -> str", {}, "Corvane({key: {tags}, ...}), in iteration order."});
    define_method<&a::getitem>(t, "__getitem__",
                               {"({%}, {str}) -> @collections.abc.Set@set@[str]",
                                {key},
                                "A new set of the key's tags; KeyError when the key is absent."});
    define_method<&a::setitem>(t, "__setitem__",
                               {"({%}, {str}, {collections.abc.Iterable}) -> None",
                                {key, tags},
                                "Makes the key carry exactly these tags; an empty iterable removes the key."});
    define_method<&a::delitem>(t, "__delitem__",
                               {"({%}, {str}) -> None", {key}, "Removes the key; KeyError when it is absent."});
    define_method<&a::clear>(t, "clear", {"({%}) -> None", {}, "Removes every key and tag."});
    define_method<&a::keys>(t, "keys", {"({%}) -> list", {}, "A new list of the keys, in iteration order."});
    define_method<&a::values>(t, "values",
                              {"({%}) -> list", {}, "A new list of new tag sets, one per key, in iteration order."});
    define_method<&a::items>(t, "items",
                             {"({%}) -> list", {}, "A new list of (key, tag set) tuples, in iteration order."});
    define_method<&a::tags>(t, "tags",
                            {"({%}) -> @collections.abc.Sequence@list@[str]", {}, "A new list of every tag in use."});
    define_method<&a::to_dict>(t, "to_dict", {"({%}) -> dict", {}, "A new dict of each key to a new set of its tags."});
    define_method<&a::get>(t, "get",
                           {"({%}, {str}, {object}) -> object",
                            {key, fallback},
                            "A new set of the key's tags, or `default` itself when the key is absent."});
    define_method<&a::setdefault>(t, "setdefault",
                                  {"({%}, {str}, {collections.abc.Iterable}) -> @collections.abc.Set@set@[str]",
                                   {key, required_default},
                                   "The key's tags; when it is absent, first stores `default` (an empty one stores "
                                   "nothing)."});
    define_method<&a::pop>(t, "pop",
                           {"({%}, {str}, {object}) -> object",
                            {key, fallback},
                            "Removes the key and returns its tags, or returns `default` when it is absent (no "
                            "KeyError)."});
    define_method<&a::popitem>(t, "popitem",
                               {"({%}) -> tuple[str, @collections.abc.Set@set@[str]]",
                                {},
                                "Removes and returns the first (key, tags) pair in iteration order; KeyError when "
                                "empty."});
    define_method<&a::update>(t, "update",
                              {"({%}, {dict}) -> None",
                               {d},
                               "Sets each key of the dict to its tags, in order (an empty value removes the key); "
                               "entries applied before a failure stay applied."});
    define_method<&a::add_tag>(t, "add_tag",
                               {"({%}, {str}, {str}) -> None", {key, tag}, "Adds a tag, creating the key if absent."});
    define_method<&a::add_tags>(t, "add_tags",
                                {"({%}, {str}, {collections.abc.Iterable}) -> None",
                                 {key, tags},
                                 "Adds the tags; creates the key unless `tags` is empty."});
    define_method<&a::remove_tag>(t, "remove_tag",
                                  {"({%}, {str}, {str}) -> None",
                                   {key, tag},
                                   "Removes a tag (the key goes with its last one); KeyError when the key or the tag "
                                   "is absent."});
    define_method<&a::discard_tag>(t, "discard_tag",
                                   {"({%}, {str}, {str}) -> None",
                                    {key, tag},
                                    "Removes a tag if the key carries it (the key goes with its last one)."});
    define_method<&a::has_tag>(
        t, "has_tag",
        {"({%}, {str}, {str}) -> bool", {key, tag}, "Whether the key carries the tag; False for an absent key."});
    define_method<&a::find>(t, "find",
                            {"({%}, {collections.abc.Iterable}) -> set",
                             {tags},
                             "A new set of the keys that carry every tag; every key when `tags` is empty."});
    define_method<&a::query>(t, "query", {"({%}, {@*args@tuple@}) -> set", {}, "find() with the tags as arguments."});
    define_method<&a::find_any>(t, "find_any",
                                {"({%}, {collections.abc.Iterable}) -> set",
                                 {tags},
                                 "A new set of the keys that carry at least one tag; every key when `tags` is "
                                 "empty."});
    define_method<&a::query_any>(t, "query_any",
                                 {"({%}, {@*args@tuple@}) -> set", {}, "find_any() with the tags as arguments."});
    define_method<&a::count>(t, "count",
                             {"({%}, {collections.abc.Iterable}) -> int",
                              {tags},
                              "How many keys carry every tag; all of them when `tags` is empty."});
    define_method<&a::count_any>(t, "count_any",
                                 {"({%}, {collections.abc.Iterable}) -> int",
                                  {tags},
                                  "How many keys carry at least one tag; all of them when `tags` is empty."});
    define_method<&a::retain_where>(t, "retain_where",
                                    {"({%}, {collections.abc.Iterable}) -> list",
                                     {tags},
                                     "Keeps only the keys that carry every tag and returns them; an empty `tags` "
                                     "keeps every key."});
    define_method<&a::retain_where_any>(t, "retain_where_any",
                                        {"({%}, {collections.abc.Iterable}) -> list",
                                         {tags},
                                         "Keeps only the keys that carry at least one tag and returns them; an empty "
                                         "`tags` keeps every key."});
    define_method<&a::erase>(t, "erase",
                             {"({%}, {str}) -> @collections.abc.Set@set@[str]",
                              {key},
                              "Removes the key and returns its tags; KeyError when it is absent."});
    define_method<&a::discard>(t, "discard",
                               {"({%}, {str}) -> bool", {key}, "Removes the key if present; returns whether it was."});
    define_method<&a::erase_where>(t, "erase_where",
                                   {"({%}, {collections.abc.Iterable}) -> list",
                                    {tags},
                                    "Removes the keys that carry every tag and returns them; an empty `tags` removes "
                                    "nothing."});
}

}  // namespace corvane
