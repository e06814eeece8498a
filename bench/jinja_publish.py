#!/usr/bin/env python3
"""The template-engine peer of the publish benchmark: renders every page of a publish list with
compiled Jinja2 templates (MASK.jinja beside each mask) and publishes each atomically: written
into a file beside the page, flushed (fsync), renamed over it (os.replace).

Usage: jinja_publish.py LIST OUTPUT_ROOT
"""
import json
import os
import sys

import jinja2


def escape_text(text):
    return text.replace("<", "&lt;").replace(">", "&gt;").replace("\n", "<BR>")


def main():
    list_path, output_root = sys.argv[1:3]
    base = os.path.dirname(list_path)
    environment = jinja2.Environment(autoescape=False, keep_trailing_newline=True)
    templates = {}
    with open(list_path, encoding="utf-8") as pages:
        for line in pages:
            page = json.loads(line)
            mask = page["mask"]
            if mask not in templates:
                with open(os.path.join(base, mask[:-5] + ".jinja"), encoding="utf-8", newline="") as f:
                    templates[mask] = environment.from_string(f.read())
            text = templates[mask].render(
                view_name=page["view_name"].replace("<", "&lt;").replace(">", "&gt;"),
                summary=escape_text(page["text"]["ZRTSummary"]),
                body=page["html"]["ZRTBody"],
                start=page["start"])
            path = os.path.join(output_root, page["page"])
            directory = os.path.dirname(path)
            os.makedirs(directory, exist_ok=True)
            temp = os.path.join(directory, "." + os.path.basename(path) + ".%d.tmp" % os.getpid())
            with open(temp, "w", encoding="utf-8", newline="") as out:
                out.write(text)
                out.flush()
                os.fsync(out.fileno())
            os.replace(temp, path)


if __name__ == "__main__":
    main()
