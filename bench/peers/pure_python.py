"""A dict of tag sets plus a hand-kept inverted index, as a careful user writes it."""

_EMPTY = frozenset()


class PyTagStore:
    name = "pure Python"

    def __init__(self, data=None):
        self.objects = {}
        self.index = {}
        for key, tags in (data or {}).items():
            self[key] = tags

    def __setitem__(self, key, tags):
        tags = set(tags)
        old = self.objects.pop(key, _EMPTY)
        for tag in old - tags:
            self._unlink(key, tag)
        for tag in tags - old:
            self.index.setdefault(tag, set()).add(key)
        if tags:
            self.objects[key] = tags

    def _unlink(self, key, tag):
        carriers = self.index[tag]
        carriers.discard(key)
        if not carriers:
            del self.index[tag]

    def __getitem__(self, key):
        return set(self.objects[key])

    def __len__(self):
        return len(self.objects)

    def __iter__(self):
        return iter(self.objects)

    def keys(self):
        return list(self.objects)

    def values(self):
        return [set(tags) for tags in self.objects.values()]

    def popitem(self):
        key, tags = self.objects.popitem()
        for tag in tags:
            self._unlink(key, tag)
        return key, tags

    def has_tag(self, key, tag):
        return tag in self.objects.get(key, _EMPTY)

    def add_tag(self, key, tag):
        self.objects.setdefault(key, set()).add(tag)
        self.index.setdefault(tag, set()).add(key)

    def add_tags(self, key, tags):
        tags = set(tags)
        if tags:
            self.objects.setdefault(key, set()).update(tags)
            for tag in tags:
                self.index.setdefault(tag, set()).add(key)

    def remove_tag(self, key, tag):
        tags = self.objects[key]
        tags.remove(tag)
        self._unlink(key, tag)
        if not tags:
            del self.objects[key]

    def _carriers(self, tags):
        return sorted((self.index.get(tag, _EMPTY) for tag in set(tags)), key=len)

    def find(self, tags):
        sets = self._carriers(tags)
        if not sets:
            return set(self.objects)
        return sets[0].intersection(*sets[1:])

    def find_any(self, tags):
        sets = self._carriers(tags)
        if not sets:
            return set(self.objects)
        return set().union(*sets)

    def count(self, tags):
        sets = self._carriers(tags)
        if not sets:
            return len(self.objects)
        if len(sets) == 1:
            return len(sets[0])
        return len(sets[0].intersection(*sets[1:]))

    def count_any(self, tags):
        sets = self._carriers(tags)
        if not sets:
            return len(self.objects)
        if len(sets) == 1:
            return len(sets[0])
        return len(set().union(*sets))

    def _drop(self, keys):
        for key in keys:
            for tag in self.objects.pop(key):
                self._unlink(key, tag)

    def retain_where(self, tags):
        keep = self.find(tags)
        self._drop([key for key in self.objects if key not in keep])
        return list(keep)

    def retain_where_any(self, tags):
        keep = self.find_any(tags)
        self._drop([key for key in self.objects if key not in keep])
        return list(keep)

    def erase_where(self, tags):
        doomed = self.find(tags) if tags else set()
        self._drop(doomed)
        return list(doomed)

    def to_dict(self):
        return {key: set(tags) for key, tags in self.objects.items()}

    def items(self):
        return [(key, set(tags)) for key, tags in self.objects.items()]
