#!/usr/bin/env python3
"""Writes a program's manual page from its --help text, so the two cannot drift apart.

The help text is read as the programs here write it: the first paragraph is the usage
(every line naming the program), the paragraphs up to the first heading describe it, a
line ending in ':' at the left margin is a heading, an entry is a term indented by two
spaces and its description after a gap of two or more spaces or on deeper-indented lines
below it. Known headings become the manual's sections, others subsections of the one
before. The tail file (FILES, SEE ALSO, ...) is appended as it is.
"""
import argparse
import re
import subprocess
import sys

SECTIONS = {
    "команды": "COMMANDS",
    "commands": "COMMANDS",
    "ключи": "OPTIONS",
    "options": "OPTIONS",
    "коды завершения": "EXIT STATUS",
    "exit status": "EXIT STATUS",
}


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-").replace('"', "\\(dq")
    # A line starting with a control character would be taken for a request.
    return "\\&" + text if text[:1] in (".", "'") else text


def convert(help_text, program, name_line, version):
    out = [
        f'.TH {program.upper()} 1 "" "{version}" "User Commands"',
        ".SH NAME",
        f"{escape(program)} \\- {escape(name_line)}",
    ]
    paragraphs = re.split(r"\n[ \t]*\n", help_text.strip("\n"))
    usage, rest = paragraphs[0], "\n\n".join(paragraphs[1:])

    out.append(".SH SYNOPSIS")
    for line in usage.splitlines():
        at = line.find(program)
        if at < 0:
            continue
        if out[-1] != ".SH SYNOPSIS":
            out.append(".br")
        out.append(f".B {escape(program)}")
        out.append(escape(line[at + len(program):].strip()))

    out.append(".SH DESCRIPTION")
    in_entry = False
    for line in rest.splitlines():
        stripped = line.strip()
        indent = len(line) - len(line.lstrip(" "))
        if not stripped:
            out.append(".PP")
            in_entry = False
        elif indent == 0 and stripped.endswith(":"):
            heading = stripped[:-1]
            section = SECTIONS.get(heading.lower())
            out.append(f".SH {section}" if section else f'.SS "{escape(heading)}"')
            in_entry = False
        elif indent == 0:
            if in_entry:
                out.append(".PP")
            out.append(escape(stripped))
            in_entry = False
        elif indent <= 4:
            term, *description = re.split(r"\s{2,}", stripped, maxsplit=1)
            out.append(".TP")
            out.append(f'.B "{escape(term)}"')
            out.extend(escape(text) for text in description)
            in_entry = True
        else:
            out.append(escape(stripped))
    # A paragraph break before a heading, an entry or the end is noise to the formatter.
    return [line for line, after in zip(out, out[1:] + [".SH"])
            if not (line == ".PP" and after.split(" ")[0] in (".PP", ".SH", ".SS", ".TP"))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the program to run with --help")
    parser.add_argument("--name", required=True, help="what the program is, for NAME")
    parser.add_argument("--version", required=True, help="the footer, e.g. 'ktr-service 1.0.0'")
    parser.add_argument("--tail", help="roff appended after the help's sections")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()

    result = subprocess.run([args.program, "--help"], capture_output=True, check=True)
    program = args.program.rsplit("/", 1)[-1]
    lines = [
        f'.\\" Generated from "{program} --help"; edit the help text, not this file.'
    ] + convert(result.stdout.decode("utf-8"), program, args.name, args.version)
    if args.tail:
        with open(args.tail, encoding="utf-8") as tail:
            lines.append(tail.read().rstrip("\n"))
    with open(args.output, "w", encoding="utf-8") as output:
        output.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
