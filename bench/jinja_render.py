#!/usr/bin/env python3
"""The template-engine peer of the render benchmarks: compiles a Jinja2 template once, renders it
with the given values for about a second, writes one rendered page and prints the nanoseconds
per render.

Usage: jinja_render.py TEMPLATE VALUES_JSON PAGE_OUT
"""
import json
import sys
import time

import jinja2


def main():
    template_path, values_path, page_path = sys.argv[1:4]
    with open(template_path, encoding="utf-8", newline="") as source:
        text = source.read()
    with open(values_path, encoding="utf-8") as values_file:
        values = json.load(values_file)
    environment = jinja2.Environment(autoescape=False, keep_trailing_newline=True)
    template = environment.from_string(text)
    page = template.render(values)
    with open(page_path, "w", encoding="utf-8", newline="") as out:
        out.write(page)
    count = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(count):
            template.render(values)
        elapsed = time.perf_counter_ns() - start
        if elapsed > 1_000_000_000:
            break
        count *= 2
    print(elapsed / count)


if __name__ == "__main__":
    main()
