"""An in-memory SQLite table of (key, tag) rows, indexed both ways."""

import sqlite3


class SqliteTagStore:
    name = "sqlite3"

    def __init__(self, data=None):
        # One private in-memory database: the module's implicit transaction is
        # never committed, which spares a commit per statement.
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE TABLE tags (key TEXT NOT NULL, tag TEXT NOT NULL, PRIMARY KEY (key, tag)) "
                        "WITHOUT ROWID")
        self.db.execute("CREATE INDEX tags_by_tag ON tags (tag, key)")
        if data:
            self.db.executemany(
                "INSERT OR IGNORE INTO tags VALUES (?, ?)", ((k, t) for k, tags in data.items() for t in tags)
            )

    def copy(self):
        """A second store with the same rows, copied page by page."""
        twin = SqliteTagStore()
        self.db.commit()  # a backup waits for open write transactions
        self.db.backup(twin.db)
        return twin

    def __len__(self):
        return self.db.execute("SELECT COUNT(DISTINCT key) FROM tags").fetchone()[0]

    def __getitem__(self, key):
        tags = {row[0] for row in self.db.execute("SELECT tag FROM tags WHERE key = ?", (key,))}
        if not tags:
            raise KeyError(key)
        return tags

    def __iter__(self):
        return (row[0] for row in self.db.execute("SELECT DISTINCT key FROM tags"))

    def keys(self):
        return [row[0] for row in self.db.execute("SELECT DISTINCT key FROM tags")]

    def values(self):
        return list(self.to_dict().values())

    def popitem(self):
        row = self.db.execute("SELECT key FROM tags LIMIT 1").fetchone()
        if row is None:
            raise KeyError("popitem(): empty")
        tags = self[row[0]]
        self.db.execute("DELETE FROM tags WHERE key = ?", row)
        return row[0], tags

    def has_tag(self, key, tag):
        return self.db.execute("SELECT 1 FROM tags WHERE key = ? AND tag = ?", (key, tag)).fetchone() is not None

    def add_tag(self, key, tag):
        self.db.execute("INSERT OR IGNORE INTO tags VALUES (?, ?)", (key, tag))

    def add_tags(self, key, tags):
        self.db.executemany("INSERT OR IGNORE INTO tags VALUES (?, ?)", ((key, tag) for tag in tags))

    def remove_tag(self, key, tag):
        if self.db.execute("DELETE FROM tags WHERE key = ? AND tag = ?", (key, tag)).rowcount == 0:
            raise KeyError(key)

    @staticmethod
    def _all_of(tags):
        marks = ",".join("?" * len(tags))
        return f"SELECT key FROM tags WHERE tag IN ({marks}) GROUP BY key HAVING COUNT(*) = {len(tags)}"

    @staticmethod
    def _any_of(tags):
        return f"SELECT DISTINCT key FROM tags WHERE tag IN ({','.join('?' * len(tags))})"

    def _keys(self, sql, params=()):
        return {row[0] for row in self.db.execute(sql, params)}

    def find(self, tags):
        tags = list(set(tags))
        return self._keys(self._all_of(tags), tags) if tags else self._keys("SELECT DISTINCT key FROM tags")

    def find_any(self, tags):
        tags = list(set(tags))
        return self._keys(self._any_of(tags), tags) if tags else self._keys("SELECT DISTINCT key FROM tags")

    def count(self, tags):
        tags = list(set(tags))
        if not tags:
            return len(self)
        return self.db.execute(f"SELECT COUNT(*) FROM ({self._all_of(tags)})", tags).fetchone()[0]

    def count_any(self, tags):
        tags = list(set(tags))
        if not tags:
            return len(self)
        marks = ",".join("?" * len(tags))
        return self.db.execute(f"SELECT COUNT(DISTINCT key) FROM tags WHERE tag IN ({marks})", tags).fetchone()[0]

    def _retain(self, select, tags):
        kept = list(self._keys(select, tags))
        self.db.execute(f"DELETE FROM tags WHERE key NOT IN ({select})", tags)
        return kept

    def retain_where(self, tags):
        tags = list(set(tags))
        return self._retain(self._all_of(tags), tags)

    def retain_where_any(self, tags):
        tags = list(set(tags))
        return self._retain(self._any_of(tags), tags)

    def erase_where(self, tags):
        tags = list(set(tags))
        removed = list(self._keys(self._all_of(tags), tags))
        self.db.execute(f"DELETE FROM tags WHERE key IN ({self._all_of(tags)})", tags)
        return removed

    def to_dict(self):
        out = {}
        for key, tag in self.db.execute("SELECT key, tag FROM tags"):
            out.setdefault(key, set()).add(tag)
        return out

    def items(self):
        return list(self.to_dict().items())
