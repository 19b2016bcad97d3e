"""Dense integer ids per key and one compressed bitmap of ids per tag (pyroaring),
as a performance-aware user writes it."""

from pyroaring import BitMap


class RoaringTagStore:
    name = "pyroaring"

    def __init__(self, data=None):
        self.ids = {}  # key -> id
        self.keys_by_id = []  # id -> key, None once freed
        self.tags_by_id = []  # id -> set of tags, None once freed
        self.free = []  # freed ids, reused first
        self.index = {}  # tag -> BitMap of ids
        members = {}
        for key, tags in (data or {}).items():  # bulk: one bitmap per tag, built once
            tags = set(tags)
            if tags:
                i = self._new_id(key, tags)
                for tag in tags:
                    members.setdefault(tag, []).append(i)
        self.index = {tag: BitMap(ids) for tag, ids in members.items()}

    def _new_id(self, key, tags):
        if self.free:
            i = self.free.pop()
            self.keys_by_id[i], self.tags_by_id[i] = key, tags
        else:
            i = len(self.keys_by_id)
            self.keys_by_id.append(key)
            self.tags_by_id.append(tags)
        self.ids[key] = i
        return i

    def _drop(self, i):
        del self.ids[self.keys_by_id[i]]
        tags = self.tags_by_id[i]
        for tag in tags:
            self._unlink(i, tag)
        self.keys_by_id[i] = self.tags_by_id[i] = None
        self.free.append(i)
        return tags

    def _unlink(self, i, tag):
        bitmap = self.index[tag]
        bitmap.discard(i)
        if not bitmap:
            del self.index[tag]

    def __setitem__(self, key, tags):
        tags = set(tags)
        i = self.ids.get(key)
        if i is not None:
            self._drop(i)
        if tags:
            i = self._new_id(key, tags)
            for tag in tags:
                self.index.setdefault(tag, BitMap()).add(i)

    def __getitem__(self, key):
        return set(self.tags_by_id[self.ids[key]])

    def __len__(self):
        return len(self.ids)

    def __iter__(self):
        return iter(self.ids)

    def keys(self):
        return list(self.ids)

    def values(self):
        tags_by_id = self.tags_by_id
        return [set(tags_by_id[i]) for i in self.ids.values()]

    def has_tag(self, key, tag):
        i = self.ids.get(key)
        return i is not None and tag in self.tags_by_id[i]

    def add_tags(self, key, tags):
        tags = set(tags)
        if not tags:
            return
        i = self.ids.get(key)
        if i is None:
            i = self._new_id(key, set())
        self.tags_by_id[i] |= tags
        for tag in tags:
            self.index.setdefault(tag, BitMap()).add(i)

    def add_tag(self, key, tag):
        self.add_tags(key, (tag,))

    def remove_tag(self, key, tag):
        i = self.ids[key]
        tags = self.tags_by_id[i]
        tags.remove(tag)
        self._unlink(i, tag)
        if not tags:
            self._drop(i)

    def _bitmaps(self, tags):
        return [self.index.get(tag) for tag in set(tags)]

    def _all(self, tags):
        bitmaps = self._bitmaps(tags)
        if None in bitmaps:
            return BitMap()
        return bitmaps[0] if len(bitmaps) == 1 else BitMap.intersection(*bitmaps)

    def _any(self, tags):
        bitmaps = [b for b in self._bitmaps(tags) if b is not None]
        if not bitmaps:
            return BitMap()
        return bitmaps[0] if len(bitmaps) == 1 else BitMap.union(*bitmaps)

    def _keys_of(self, ids):
        return set(map(self.keys_by_id.__getitem__, ids))

    def find(self, tags):
        tags = set(tags)
        return self._keys_of(self._all(tags)) if tags else set(self.ids)

    def find_any(self, tags):
        tags = set(tags)
        return self._keys_of(self._any(tags)) if tags else set(self.ids)

    def count(self, tags):
        bitmaps = self._bitmaps(tags)
        if not bitmaps:
            return len(self.ids)
        if None in bitmaps:
            return 0
        if len(bitmaps) == 1:
            return len(bitmaps[0])
        if len(bitmaps) == 2:
            return bitmaps[0].intersection_cardinality(bitmaps[1])
        return len(BitMap.intersection(*bitmaps))

    def count_any(self, tags):
        bitmaps = self._bitmaps(tags)
        if not bitmaps:
            return len(self.ids)
        bitmaps = [b for b in bitmaps if b is not None]
        if not bitmaps:
            return 0
        if len(bitmaps) == 1:
            return len(bitmaps[0])
        if len(bitmaps) == 2:
            return bitmaps[0].union_cardinality(bitmaps[1])
        return len(BitMap.union(*bitmaps))

    def _retain(self, keep):
        for i in BitMap(self.ids.values()) - keep:
            self._drop(i)
        return [self.keys_by_id[i] for i in keep]

    def retain_where(self, tags):
        return self._retain(self._all(tags))

    def retain_where_any(self, tags):
        return self._retain(self._any(tags))

    def erase_where(self, tags):
        tags = set(tags)
        doomed = list(self._all(tags)) if tags else []
        removed = [self.keys_by_id[i] for i in doomed]
        for i in doomed:
            self._drop(i)
        return removed

    def popitem(self):
        key, i = self.ids.popitem()
        self.ids[key] = i
        return key, self._drop(i)

    def to_dict(self):
        tags_by_id = self.tags_by_id
        return {key: set(tags_by_id[i]) for key, i in self.ids.items()}

    def items(self):
        tags_by_id = self.tags_by_id
        return [(key, set(tags_by_id[i])) for key, i in self.ids.items()]
