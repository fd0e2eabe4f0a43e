#!/usr/bin/env python3
"""Turns the unpacked Debian packages into the benchmark corpus.

    assemble.py UNPACKED OUTDIR

UNPACKED holds one directory per package (the output of `dpkg-deb -x`), plus
kjv.txt, the rendered King James text. Writes OUTDIR/corpus.txt (20,000,000
bytes at most) and OUTDIR/corpus-1m.txt (its first 1,000,000 bytes at most),
both cut at paragraph ends, and prints the composition of the mix.

Only the standard library is used and nothing depends on the clock, the
locale or directory listing order, so the same packages always give the same
bytes.
"""

import gzip
import html.parser
import re
import sys
from pathlib import Path

CORPUS_BYTES = 20_000_000
SLICE_BYTES = 1_000_000
# Lines are kept below this many bytes, so that line-oriented tools that skip
# long lines (some trainers do above 4192) see the whole corpus.
MAX_LINE = 3900
HANDBOOK = "debian-handbook/usr/share/doc/debian-handbook/html"


# ---- extraction ------------------------------------------------------------

class ProseExtractor(html.parser.HTMLParser):
    """Collects the readable text of a DocBook-generated page.

    Block elements end a line; navigation, tables of contents, index terms,
    scripts and styles are dropped; preformatted blocks keep their lines.
    """

    BREAKS = {"p", "div", "br", "li", "dt", "dd", "pre", "tr", "h1", "h2", "h3",
              "h4", "h5", "h6", "blockquote", "table", "title", "hr"}
    DROPPED_TAGS = {"script", "style", "head"}
    DROPPED_CLASSES = {"docnav", "navheader", "navfooter", "toc", "indexterm",
                       "list-of-tables", "list-of-figures", "list-of-examples"}
    DROPPED_IDS = {"banner", "title"}  # the site banner above every page
    VOID = {"br", "hr", "img", "meta", "link", "input", "col", "area", "base"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.stack = []  # (tag, dropped) of the open elements
        self.preformatted = 0

    def dropping(self):
        return any(dropped for _, dropped in self.stack)

    def handle_starttag(self, tag, attrs):
        classes = set((dict(attrs).get("class") or "").split())
        if tag in self.BREAKS:
            self.parts.append("\n")
        if tag in self.VOID:
            return
        dropped = (tag in self.DROPPED_TAGS or bool(classes & self.DROPPED_CLASSES)
                   or dict(attrs).get("id") in self.DROPPED_IDS)
        self.stack.append((tag, dropped))
        if tag == "pre":
            self.preformatted += 1

    def handle_endtag(self, tag):
        if tag in self.VOID:
            return
        # Pop up to the matching element; stray end tags are ignored.
        for depth in range(len(self.stack) - 1, -1, -1):
            if self.stack[depth][0] == tag:
                for open_tag, _ in self.stack[depth:]:
                    if open_tag == "pre":
                        self.preformatted -= 1
                del self.stack[depth:]
                break
        if tag in self.BREAKS:
            self.parts.append("\n")

    def handle_data(self, data):
        if self.dropping():
            return
        self.parts.append(data if self.preformatted else re.sub(r"\s+", " ", data))

    def text(self):
        return "".join(self.parts)


def html_text(path):
    extractor = ProseExtractor()
    extractor.feed(path.read_text(encoding="utf-8"))
    extractor.close()
    # Inline markup leaves stray spaces at line starts; indentation carries
    # nothing in these pages.
    return "\n".join(line.strip() for line in extractor.text().split("\n"))


def handbook(root, language):
    folder = root / HANDBOOK / language
    pages = sorted(p for p in folder.glob("*.html") if p.name != "index.html")
    return "\n\n".join(html_text(p) for p in pages)


def fortune_files(folder):
    """Fortune databases in name order; a file's UTF-8 twin (.u8) replaces it."""
    chosen = []
    for path in sorted(folder.rglob("*")):
        if not path.is_file() or path.suffix == ".dat" or path.suffix == ".u8":
            continue
        twin = path.with_name(path.name + ".u8")
        chosen.append(twin if twin.is_file() else path)
    return chosen


def fortunes(root, relative):
    texts = []
    for path in fortune_files(root / relative):
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue  # a legacy 8-bit database without a UTF-8 twin
        # '%' alone on a line separates two fortunes: make it a paragraph end.
        texts.append(re.sub(r"(?m)^%$", "", text))
    return "\n\n".join(texts)


def gz_text(root, *relatives):
    return "\n\n".join(gzip.decompress((root / r).read_bytes()).decode("utf-8", "replace")
                       for r in relatives)


# ---- cleaning --------------------------------------------------------------

CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ufeff\ufffd]")
ESCAPES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]|.\x08")  # terminal colours, overstrike


def split_long_line(line):
    pieces = []
    while len(line.encode("utf-8")) > MAX_LINE:
        head = line.encode("utf-8")[:MAX_LINE].decode("utf-8", "ignore")
        cut = head.rfind(" ")
        if cut <= 0:  # no space (CJK text): cut at the character boundary
            cut = len(head)
        pieces.append(head[:cut].rstrip())
        line = line[cut:].lstrip()
    pieces.append(line)
    return pieces


def paragraphs(text):
    """Clean lines grouped into paragraphs (lists of non-empty lines)."""
    text = ESCAPES.sub("", text.replace("\r\n", "\n").replace("\r", "\n"))
    text = CONTROL.sub("", text.replace("\t", "    "))
    current = []
    for raw in text.split("\n"):
        line = raw.rstrip()
        if line.strip():
            current.extend(split_long_line(line))
        elif current:
            yield current
            current = []
    if current:
        yield current


# ---- mixing ----------------------------------------------------------------

def blocks(text, budget):
    """The source's paragraphs, each as encoded bytes ending in a blank line,
    up to `budget` bytes in all."""
    out, used = [], 0
    for para in paragraphs(text):
        blob = ("\n".join(para) + "\n\n").encode("utf-8")
        if used + len(blob) > budget:
            break
        out.append(blob)
        used += len(blob)
    return out


def interleave(sources):
    """Merges the sources' blocks so that every prefix holds each source in
    proportion to its share: the next block always comes from the source
    that is furthest behind its share (ties: the earlier source)."""
    totals = [sum(len(b) for b in bl) for _, bl in sources]
    positions = [0] * len(sources)
    written = [0] * len(sources)
    while True:
        best, best_progress = None, None
        for i, (_, bl) in enumerate(sources):
            if positions[i] == len(bl):
                continue
            progress = written[i] / totals[i]
            if best is None or progress < best_progress:
                best, best_progress = i, progress
        if best is None:
            return
        blob = sources[best][1][positions[best]]
        positions[best] += 1
        written[best] += len(blob)
        yield sources[best][0], blob


def main(unpacked, outdir):
    root = Path(unpacked)
    out = Path(outdir)
    # (name, text, budget in bytes). English about half, then fifteen other
    # languages in eleven scripts.
    plan = [
        ("kjv-bible", (root / "kjv.txt").read_text(encoding="utf-8"), 3_400_000),
        ("fortunes-en", fortunes(root, "fortunes/usr/share/games/fortunes"), 2_400_000),
        ("jargon-file", gz_text(root, "jargon-text/usr/share/doc/jargon-text/jargon.txt.gz"),
         1_600_000),
        ("handbook-en", handbook(root, "en-US"), 1_400_000),
        ("debian-reference-en",
         gz_text(root, "debian-reference-en/usr/share/debian-reference/debian-reference.en.txt.gz"),
         1_100_000),
        ("gnu-standards", gz_text(root, "gnu-standards/usr/share/doc/gnu-standards/standards.text.gz",
                                  "gnu-standards/usr/share/doc/gnu-standards/maintain.text.gz"),
         700_000),
    ]
    for language, budget in [("de-DE", 800_000), ("fr-FR", 700_000), ("es-ES", 600_000),
                             ("it-IT", 500_000), ("pt-BR", 500_000), ("cs-CZ", 500_000),
                             ("pl-PL", 500_000), ("ru-RU", 900_000), ("ja-JP", 700_000),
                             ("zh-CN", 700_000), ("ko-KR", 400_000), ("el-GR", 300_000),
                             ("ar-MA", 300_000), ("vi-VN", 300_000), ("tr-TR", 300_000)]:
        plan.append((f"handbook-{language}", handbook(root, language), budget))
    plan += [
        ("fortunes-de", fortunes(root, "fortunes-de/usr/share/games/fortunes"), 700_000),
        ("fortunes-ru", fortunes(root, "fortunes-ru/usr/share/games/fortunes"), 700_000),
        ("fortunes-cs", fortunes(root, "fortunes-cs/usr/share/games/fortunes"), 400_000),
        ("fortunes-zh", fortunes(root, "fortunes-zh/usr/share/games/fortunes"), 500_000),
    ]
    sources = [(name, blocks(text, budget)) for name, text, budget in plan]

    used = {name: 0 for name, _ in sources}
    total = 0
    slice_end = None
    with open(out / "corpus.txt.part", "wb") as corpus:
        for name, blob in interleave(sources):
            if total + len(blob) > CORPUS_BYTES:
                break
            if slice_end is None and total + len(blob) > SLICE_BYTES:
                slice_end = total
            corpus.write(blob)
            used[name] += len(blob)
            total += len(blob)
    with open(out / "corpus.txt.part", "rb") as corpus:
        head = corpus.read(slice_end if slice_end is not None else total)
    (out / "corpus-1m.txt.part").write_bytes(head)
    (out / "corpus.txt.part").rename(out / "corpus.txt")
    (out / "corpus-1m.txt.part").rename(out / "corpus-1m.txt")

    print(f"{'source':24} {'bytes':>10} {'share':>7}")
    for name, _ in sources:
        print(f"{name:24} {used[name]:10d} {100.0 * used[name] / max(total, 1):6.2f}%")
    print(f"{'total':24} {total:10d}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
