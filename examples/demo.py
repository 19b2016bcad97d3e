"""A short tour of corvane on generated photo-library data."""

import random
import time

from corvane import Corvane

rng = random.Random(7)
PLACES = ["paris", "tokyo", "lima", "oslo", "cairo", "quito"]
SUBJECTS = ["beach", "family", "food", "sunset", "city", "mountain", "dog", "concert"]
YEARS = [str(y) for y in range(2015, 2025)]


def photo_tags():
    tags = {rng.choice(PLACES), rng.choice(YEARS)}
    tags.update(rng.sample(SUBJECTS, rng.randint(1, 3)))
    return tags


start = time.perf_counter()
photos = Corvane({f"img/{i:06d}.jpg": photo_tags() for i in range(100_000)})
print(f"built {len(photos):,} photos with {len(photos.tags())} distinct tags "
      f"in {time.perf_counter() - start:.3f}s")

key = "img/000042.jpg"
print(f"{key} carries {sorted(photos[key])}")
print(f"sunsets in paris: {photos.count(['sunset', 'paris']):,}")
print(f"dog or family photos from 2020: {len(photos.find_any(['dog', 'family']) & photos.find(['2020'])):,}")

photos.add_tag(key, "favourite")
print(f"favourites: {sorted(photos.find(['favourite']))}")

removed = photos.erase_where(["concert", "2015"])
print(f"dropped {len(removed):,} concert photos from 2015; {len(photos):,} left")

kept = photos.retain_where_any(["beach", "mountain"])
print(f"kept {len(kept):,} beach or mountain photos; tags in use: {len(photos.tags())}")
