#!/usr/bin/env python3
"""Publishing a site: `zrtmask publish` of a list of pages (three 10 KB masks, from a fixed seed)
against jinja_publish.py, a Python script that renders the same pages with Jinja2 and publishes
each atomically. The pages of both are checked equal first. Prints pages per second, the ratio,
the republish of the unchanged list, and the peak memory of each run (ru_maxrss).

Usage: publish_bench.py ZRTMASK_TOOL DIRECTORY [PAGES] [--group N]...
DIRECTORY is where the site goes (a tmpfs such as /dev/shm, or an ext4 folder); it is made
empty first and removed at the end.
"""
import filecmp
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import time

WORDS = ["offer", "price", "delivery", "the", "and", "of", "catalog", "new", "item", "customer"]


def make_mask(seed, size):
    """A mask of about size bytes, and the Jinja2 template that renders the same page."""
    rng = random.Random(seed)
    words = lambda count: " ".join(rng.choice(WORDS) for _ in range(count))
    head = "<!DOCTYPE html>\n<html>\n<head>\n<ZRTViewName><title>"
    mask = [head + "Old</title></ZRTViewName>\n</head>\n<body>\n"]
    jinja = ["{% raw %}" + head + "{% endraw %}{{ view_name }}{% raw %}</title></ZRTViewName>\n</head>\n<body>\n"]
    filler = []
    while sum(map(len, filler)) < size // 2:
        filler.append("<p class=\"text\">%s <b>%s</b>.</p>\n" % (words(14), words(2)))
    middle = "".join(filler)
    mask.append(middle + "<div><ZRTSummary>old</ZRTSummary></div>\n")
    jinja.append(middle + "<div>{% endraw %}<!--ZRTSummary-->{{ summary }}<BR><!--/ZRTSummary-->"
                 "{% raw %}</div>\n")
    filler = []
    while sum(map(len, filler)) < size // 2:
        filler.append("<table><tr><td>%s</td><td><a href=\"p%d.html\">%s</a></td></tr></table>\n"
                      % (words(3), rng.randrange(1000), words(2)))
    end = "".join(filler)
    mask.append("<ZRTBody>old</ZRTBody>\n<pre>\n<QLXSTART>\n</pre>\n" + end + "</body>\n</html>\n")
    jinja.append("{% endraw %}<!--ZRTBody-->{{ body }}<!--/ZRTBody-->{% raw %}\n<pre>\n<QLXSTART>\n"
                 "{% endraw %}{{ start }}{% raw %}\n\n</pre>\n" + end + "</body>\n</html>\n{% endraw %}")
    return "".join(mask), "".join(jinja)


def run(command, **kwargs):
    """Runs command; returns its wall time in seconds and peak resident memory in MiB."""
    start = time.perf_counter()
    process = subprocess.Popen(command, **kwargs)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(command))
    return elapsed, usage.ru_maxrss / 1024


def main():
    tool, directory = sys.argv[1:3]
    pages = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[3].isdigit() else 10000
    groups = [a.split("=")[1] for a in sys.argv[3:] if a.startswith("--group=")] or ["32"]
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for number in range(3):
        mask, jinja = make_mask(number, 10 * 1024)
        with open(os.path.join(directory, "m%d.html" % number), "w", newline="") as f:
            f.write(mask)
        with open(os.path.join(directory, "m%d.jinja" % number), "w", newline="") as f:
            f.write(jinja)
    list_path = os.path.join(directory, "site.jsonl")
    with open(list_path, "w") as f:
        for i in range(pages):
            f.write(json.dumps({
                "mask": "m%d.html" % (i % 3), "page": "site/s%d/p%d.html" % (i % 100, i),
                "view_name": "Page %d <new>" % i,
                "text": {"ZRTSummary": "Summary of page %d\nsecond line" % i},
                "html": {"ZRTBody": "<p>Body of page %d</p>" % i}, "start": "id=%d" % i}) + "\n")
    peer_root = os.path.join(directory, "peer")
    peer_time, peer_memory = run([sys.executable, os.path.join(os.path.dirname(__file__),
                                                               "jinja_publish.py"),
                                  list_path, peer_root])
    print("%-34s %8.2f s %9.0f pages/s %7.1f MiB" % ("jinja2 script", peer_time,
                                                     pages / peer_time, peer_memory))
    for group in groups:
        shutil.rmtree(os.path.join(directory, "site"), ignore_errors=True)
        subprocess.run(["sync"], check=True)
        ours, memory = run([tool, "publish", "--quiet", "--mkdir", "--group", group, list_path])
        print("%-34s %8.2f s %9.0f pages/s %7.1f MiB  %.1fx" % (
            "zrtmask publish --group " + group, ours, pages / ours, memory, peer_time / ours))
    again, memory = run([tool, "publish", "--quiet", list_path])
    print("%-34s %8.2f s %9.0f pages/s %7.1f MiB  %.1fx faster than the first" % (
        "zrtmask publish, unchanged", again, pages / again, memory, ours / again))
    for i in range(pages):
        page = "site/s%d/p%d.html" % (i % 100, i)
        if not filecmp.cmp(os.path.join(directory, page), os.path.join(peer_root, page), False):
            sys.exit("pages differ: " + page)
    print("all %d pages equal" % pages)
    shutil.rmtree(directory)


if __name__ == "__main__":
    main()
