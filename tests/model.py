"""What a Corvane does, written as plainly as possible: the oracle of the model-based tests.

Keys and tags are held as bytes. Each method converts its arguments the way the
module does (keys first, then whole tag collections) before it touches the data.
"""


def key_arg(value):
    """A key or tag parameter: anything else fails overload resolution."""
    if isinstance(value, str):
        try:
            return value.encode()
        except UnicodeEncodeError:
            raise TypeError("incompatible function arguments") from None
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    raise TypeError("incompatible function arguments")


def element(value):
    """An element inside a collection: a failure is the cast error."""
    try:
        return key_arg(value)
    except TypeError:
        raise RuntimeError("Unable to cast Python instance of type") from None


def iterable_arg(value):
    iter(value)  # a non-iterable fails overload resolution with TypeError
    return value


def tag_set(collection):
    return {element(item) for item in collection}


def text(raw):
    return raw.decode()


def missing(prefix, raw):
    return KeyError(prefix + raw.decode(errors="backslashreplace").replace("\0", "\\x00"))


class Model:
    def __init__(self):
        self.d = {}

    def put(self, key, tags):
        if tags:
            self.d[key] = set(tags)
        else:
            self.d.pop(key, None)

    def texts(self, raw_set):
        return {text(t) for t in raw_set}

    def entry(self, key):
        if key not in self.d:
            raise missing("key not found: ", key)
        return self.d[key]

    # construction
    @classmethod
    def from_dict(cls, d):
        if not isinstance(d, dict):
            raise TypeError("incompatible function arguments")
        m = cls()
        m.update(d)
        return m

    @classmethod
    def from_keys_values(cls, keys, values):
        m = cls()
        key_it, value_it = iter(iterable_arg(keys)), iter(iterable_arg(values))
        sentinel = object()
        key, value = next(key_it, sentinel), next(value_it, sentinel)
        while key is not sentinel and value is not sentinel:
            m.put(element(key), tag_set(value))
            key, value = next(key_it, sentinel), next(value_it, sentinel)
        if key is not sentinel or value is not sentinel:
            raise ValueError("keys and values must have equal length")
        return m

    @classmethod
    def from_items(cls, items):
        m = cls()
        for item in iterable_arg(items):
            if not isinstance(item, tuple):
                raise TypeError("each item must be a (key, tags) tuple")
            if len(item) != 2:
                raise TypeError("each item must be a (key, tags) pair")
            m.put(element(item[0]), tag_set(item[1]))
        return m

    @classmethod
    def construct(cls, *args):
        if len(args) == 2:
            return cls.from_keys_values(*args)
        if isinstance(args[0], dict):
            return cls.from_dict(args[0])
        return cls.from_items(args[0])

    # mapping protocol
    def __len__(self):
        return len(self.d)

    def contains(self, key):
        return key_arg(key) in self.d

    def keys(self):
        return [text(k) for k in self.d]

    def getitem(self, key):
        return self.texts(self.entry(key_arg(key)))

    def setitem(self, key, tags):
        key = key_arg(key)
        self.put(key, tag_set(iterable_arg(tags)))

    def delitem(self, key):
        key = key_arg(key)
        self.entry(key)
        del self.d[key]

    def clear(self):
        self.d.clear()

    def get(self, key, default=None):
        key = key_arg(key)
        return self.texts(self.d[key]) if key in self.d else default

    def setdefault(self, key, default):
        key = key_arg(key)
        iterable_arg(default)
        if key in self.d:
            return self.texts(self.d[key])
        tags = tag_set(default)
        self.put(key, tags)
        return self.texts(tags)

    def pop(self, key, default=None):
        key = key_arg(key)
        if key not in self.d:
            return default
        return self.texts(self.d.pop(key))

    def popitem(self, chosen):
        """The store picks the entry; the model checks it and removes the same one."""
        if not self.d:
            raise KeyError("popitem(): Corvane is empty")
        return chosen, self.texts(self.d.pop(chosen.encode()))

    def update(self, d):
        if not isinstance(d, dict):
            raise TypeError("incompatible function arguments")
        for key, tags in d.items():
            self.put(element(key), tag_set(tags))

    # tag editing
    def add_tag(self, key, tag):
        key, tag = key_arg(key), key_arg(tag)
        self.d.setdefault(key, set()).add(tag)

    def add_tags(self, key, tags):
        key = key_arg(key)
        tags = tag_set(iterable_arg(tags))
        if tags:
            self.d.setdefault(key, set()).update(tags)

    def remove_tag(self, key, tag):
        key, tag = key_arg(key), key_arg(tag)
        if tag not in self.entry(key):
            raise missing("tag not found: ", tag)
        self.put(key, self.d[key] - {tag})

    def discard_tag(self, key, tag):
        key, tag = key_arg(key), key_arg(tag)
        if key in self.d:
            self.put(key, self.d[key] - {tag})

    def has_tag(self, key, tag):
        key, tag = key_arg(key), key_arg(tag)
        return tag in self.d.get(key, ())

    def tags(self):
        return sorted(text(t) for t in set().union(*self.d.values()))

    def erase(self, key):
        key = key_arg(key)
        self.entry(key)
        return self.texts(self.d.pop(key))

    def discard(self, key):
        return self.d.pop(key_arg(key), None) is not None

    # queries
    def select(self, tags, every):
        if not tags:
            return set(self.d)
        if every:
            return {k for k, v in self.d.items() if tags <= v}
        return {k for k, v in self.d.items() if tags & v}

    def find(self, tags, every=True):
        return {text(k) for k in self.select(tag_set(iterable_arg(tags)), every)}

    def find_any(self, tags):
        return self.find(tags, every=False)

    def query(self, *args, every=True):
        return {text(k) for k in self.select({element(a) for a in args}, every)}

    def query_any(self, *args):
        return self.query(*args, every=False)

    def count(self, tags, every=True):
        return len(self.select(tag_set(iterable_arg(tags)), every))

    def count_any(self, tags):
        return self.count(tags, every=False)

    # conditional removal
    def retain_where(self, tags, every=True):
        tags = tag_set(iterable_arg(tags))
        keep = self.select(tags, every)
        self.d = {k: v for k, v in self.d.items() if k in keep}
        return sorted(text(k) for k in keep)

    def retain_where_any(self, tags):
        return self.retain_where(tags, every=False)

    def erase_where(self, tags):
        tags = tag_set(iterable_arg(tags))
        doomed = self.select(tags, True) if tags else set()
        for k in doomed:
            del self.d[k]
        return sorted(text(k) for k in doomed)
