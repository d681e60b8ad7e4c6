#!/usr/bin/python3
"""Turns one page of the documentation from Markdown into a standalone HTML page.

   markdown_to_html.py PAGE.md PAGE.html

Links to the other Markdown pages are pointed at their HTML pages, and the headings get
ids, so the manual's contents work in a browser as they do in the Markdown viewer.
"""
import html
import pathlib
import re
import sys

import markdown

STYLE = """
body { font-family: sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em;
       line-height: 1.45; color: #1a1a1a; }
code, pre { font-family: monospace; background: #f2f2f2; }
pre { padding: 0.6em 0.8em; overflow-x: auto; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
th { background: #eaeaea; }
img { max-width: 100%; border: 1px solid #ddd; }
"""


def main() -> None:
    source, target = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    text = source.read_text(encoding="utf-8")
    body = markdown.markdown(text, extensions=["tables", "toc", "fenced_code"],
                             output_format="html")
    body = re.sub(r'href="([^":#/]+)\.md(#[^"]*)?"',
                  lambda m: f'href="{m.group(1)}.html{m.group(2) or ""}"', body)
    heading = re.search(r"^#\s+(.+)$", text, re.MULTILINE)
    title = html.escape(heading.group(1) if heading else source.stem)
    target.write_text(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        f"<title>{title}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n{body}\n"
        "</body>\n</html>\n", encoding="utf-8")


if __name__ == "__main__":
    main()
