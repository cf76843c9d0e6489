# Nautilus (python3-nautilus) entries for the selected pictures: "Convert
# with Tessaly" opens the format window; the others convert straight to
# one format.
import os
import subprocess

from gi.repository import GObject, Nautilus

MIME_TYPES = {
    "image/bmp", "image/x-bmp", "image/x-ms-bmp", "image/png", "image/jpeg", "image/gif", "image/tiff",
    "image/webp", "image/heif", "image/heic", "image/avif",
}

# (id, format option, English label, Japanese label)
ENTRIES = [
    ("convert", None, "Convert with Tessaly", "Tessaly で変換"),
    ("jpeg", "jpeg", "Convert to JPEG with Tessaly", "Tessaly で JPEG に変換"),
    ("png", "png", "Convert to PNG with Tessaly", "Tessaly で PNG に変換"),
    ("webp", "webp", "Convert to WebP with Tessaly", "Tessaly で WebP に変換"),
]


def japanese():
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = os.environ.get(name)
        if value:
            return value == "ja" or value[:3] in ("ja_", "ja.", "ja@")
    return False


def command(fmt, paths):
    words = ["vrelk-gtk"]
    if fmt:
        words.append("--format=" + fmt)
    return words + ["--"] + paths


def local_paths(files):
    paths = []
    for item in files:
        if item.is_directory() or item.get_mime_type().lower() not in MIME_TYPES:
            return []
        location = item.get_location()
        path = location.get_path() if location else None
        if not path:
            return []
        paths.append(path)
    return paths


class TessalyMenu(GObject.GObject, Nautilus.MenuProvider):
    def get_file_items(self, *args):
        # Nautilus 43 passes the selection alone, earlier ones the window first.
        paths = local_paths(args[-1])
        if not paths:
            return []
        label = 3 if japanese() else 2
        items = []
        for entry in ENTRIES:
            item = Nautilus.MenuItem(name="Tessaly::" + entry[0], label=entry[label])
            item.connect("activate", self.run, entry[1], paths)
            items.append(item)
        return items

    def run(self, _item, fmt, paths):
        subprocess.Popen(command(fmt, paths), start_new_session=True)
