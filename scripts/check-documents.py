# SPDX-License-Identifier: Apache-2.0
"""What an installed document refers to must exist, and its examples must run.

    check-documents.py references --tree TREE [--tree TREE...] DOCUMENT...
        Every Markdown link (a file beside the document, a #section of it or of that file), every
        section named in words (README's "X", the "X" section) and every file named in backticks
        (`board.svf`, `koraven.cfg`, `*.md`, `*.chain`, ...) exists: files by name anywhere in the
        trees (the .zip's documents also describe the Linux packages), the files a Windows README
        lists beside it; no document names the code's own identifiers (`Type::member`,
        `parseFaultList`) unless the installed headers declare them.
    check-documents.py examples --tree TREE --work DIR DOCUMENT...
        Runs the shell examples of Markdown documents: the indented blocks' "$ command" lines
        (with the files that "$ cat FILE" shows written first) and the bare command lines of
        cse-host, quorbit-sim and tshark, as a user types them, from DIR with TREE's programs first
        on the PATH and /usr/... paths of the package taken from TREE. Examples that name a
        machine or a value of the user's (bench-pc, HOST, FILE, ...) and OpenOCD rounds (the user
        README's runs) are left out. An example passes when it ran (any exit status the document
        may show) without a missing program, file, chain, option or command.
Prints one line per problem and exits 1 when there is any.
"""

import os
import re
import subprocess
import sys

FILE_NAME = re.compile(r"`([\w.-]+\.(?:md|svf|cfg|chain|lua|txt))`")
# C++ names of the code (the CMake package's KoravenCsePlugin:: targets are the user's to name).
# and functions of the code (`parseFaultList`), which no user calls.
CODE_NAME = re.compile(r"`[^`\n]*\b(?!KoravenCsePlugin::)[A-Za-z]\w*::\w+[^`\n]*`|"
                       r"`(?:parse|make|build|find|check|set|get)[A-Z]\w*(?:\(\))?`")
LINK = re.compile(r"\[[^\]]+\]\(([^)\s]+)\)")
SECTION_IN_WORDS = re.compile(r"(?:README's|README\.md's|section) \"([^\"]+)\"|\"([^\"]+)\" section")
# What only the user fills in: a machine, a value, a path of their own.
USERS_OWN = re.compile(r"bench-pc|labpc|\bHOST\b|\bADDR\b|<N>|\bFILE\b|\bDIR\b|\bPATH/|\.\.\.|"
                       r"C:\\|--node [a-z]")
# A command line of one of these, not a line of their output ("cse-host: ...").
COMMAND = re.compile(r"(cse-host|quorbit-sim|tshark)( |$)")
# Text that says a name in the example does not exist.
MISSING = re.compile(r"No such file|cannot open the file|no chain file|cannot read the SVF file|"
                     r"unknown option|unknown command|command not found|not recognized|"
                     r"[Ii]nvalid option|is not a command")


def slug(heading):
    """GitHub's anchor of a heading: lower case, punctuation dropped, blanks as hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def headings(path):
    with open(path, encoding="utf-8") as document:
        return [line.lstrip("#").strip() for line in document if re.match(r"#{1,6} ", line)]


def tree_files(tree):
    names = set()
    for _, _, files in os.walk(tree):
        names.update(files)
    return names


def public_names(tree):
    """The identifiers of the installed headers: the interface a host author calls by name."""
    words = set()
    for folder, _, files in os.walk(tree):
        for header in (name for name in files if name.endswith(".h")):
            words.update(re.findall(r"\w+", open(os.path.join(folder, header)).read()))
    return words


def check_references(trees, documents):
    problems = []
    names = set().union(*(tree_files(tree) for tree in trees))
    public = set().union(*(public_names(tree) for tree in trees))
    every_heading = {}
    for document in documents:
        if document.endswith(".md"):
            every_heading[os.path.basename(document)] = headings(document)
    all_titles = {title for titles in every_heading.values() for title in titles}
    for document in documents:
        text = open(document, encoding="utf-8").read()
        name = os.path.basename(document)
        folder = os.path.dirname(document)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+://", target):
                continue
            path, _, anchor = target.partition("#")
            linked = os.path.join(folder, path) if path else document
            if not os.path.exists(linked):
                problems.append("%s: link to %s, which is not installed" % (name, path))
            elif anchor and linked.endswith(".md") and \
                    anchor not in [slug(title) for title in headings(linked)]:
                problems.append("%s: link to #%s, a section %s does not have" %
                                (name, anchor, os.path.basename(linked)))
        for groups in SECTION_IN_WORDS.findall(text):
            title = groups[0] or groups[1]
            if title not in all_titles:
                problems.append('%s: names the section "%s", which no installed document has' %
                                (name, title))
        for file_name in sorted(set(FILE_NAME.findall(text))):
            if file_name not in names:
                problems.append("%s: names %s, which the package does not have" %
                                (name, file_name))
        for code in sorted(set(CODE_NAME.findall(text))):
            if not set(re.findall(r"\w+", code)) <= public:
                problems.append("%s: names the code's own %s" % (name, code))
        if name == "README-Windows.txt":
            listing = re.search(r"What each file is\n-+\n(.*?)\n\n\n", text, re.S)
            for line in (listing.group(1).splitlines() if listing else []):
                listed = re.match(r"  (\S+)", line)
                if listed and not os.path.exists(
                        os.path.join(folder, listed.group(1).replace("\\", "/").rstrip("/"))):
                    problems.append("%s lists %s, which the archive does not hold" %
                                    (name, listed.group(1)))
    return problems


def examples(document):
    """(command, files to write first) for every example of a Markdown document."""
    found = []
    lines = open(document, encoding="utf-8").read().split("\n")
    files = {}
    writing = None
    command = ""
    for line in lines + [""]:
        code = line[4:] if line.startswith("    ") else None
        if code is None:
            writing = None
            continue
        if code.startswith("$ "):
            writing = None
            text = code[2:].split("  #")[0].strip()
            cat = re.fullmatch(r"cat (\S+)", text)
            if cat:
                writing = cat.group(1)
                files[writing] = ""
            else:
                found.append((text, dict(files)))
            continue
        if writing is not None:
            files[writing] += code + "\n"
            continue
        stripped = code.strip()
        if command or COMMAND.match(stripped):
            command += re.sub(r"\s+#.*$", "", stripped).rstrip("\\").strip() + " "
            if not stripped.endswith("\\"):
                found.append((command.strip(), dict(files)))
                command = ""
    return found


def from_tree(command, tree):
    """/usr/... paths of the package as the moved tree has them."""
    def moved(match):
        inside = os.path.join(tree, match.group(1))
        return inside if os.path.exists(inside) else match.group(0)
    return re.sub(r"/usr/([\w./-]+)", moved, command)


def run_examples(tree, work, documents):
    problems = []
    environment = dict(os.environ, PATH=os.path.join(tree, "bin") + os.pathsep +
                       os.environ["PATH"])
    environment.pop("CSE_HOST_PLUGIN", None)
    ran = 0
    for document in documents:
        name = os.path.basename(document)
        for command, files in examples(document):
            if USERS_OWN.search(command) or command.startswith("openocd"):
                continue
            for file_name, content in files.items():
                with open(os.path.join(work, file_name), "w") as written:
                    written.write(content)
            serving = re.match(r"quorbit-sim\b(?!.*--(help|version))|cse-host\b.*\bserve\b",
                               command)
            try:
                done = subprocess.run(["bash", "-c", from_tree(command, tree)], cwd=work,
                                      env=environment, capture_output=True, text=True,
                                      timeout=3 if serving else 120)
                output, status = done.stdout + done.stderr, done.returncode
            except subprocess.TimeoutExpired as expired:
                output = "".join(part.decode() if isinstance(part, bytes) else (part or "")
                                 for part in (expired.stdout, expired.stderr))
                status = None if serving else 124
            ran += 1
            # A port another program holds here (20000, 3335) says nothing about the example.
            if serving and not re.search(r"listening on|remote_bitbang on|in use", output):
                problems.append("%s: '%s' did not start: %s" % (name, command, output.strip()))
            elif status in (124, 126, 127) or MISSING.search(output):
                problems.append("%s: '%s' failed (status %s): %s" %
                                (name, command, status, output.strip()))
    print("check-documents: %d examples run" % ran)
    return problems


def main(arguments):
    mode, rest = arguments[0], arguments[1:]
    trees, work, documents = [], None, []
    while rest:
        argument = rest.pop(0)
        if argument == "--tree":
            trees.append(rest.pop(0))
        elif argument == "--work":
            work = rest.pop(0)
        else:
            documents.append(argument)
    problems = check_references(trees, documents) if mode == "references" else \
        run_examples(trees[0], work, documents)
    for problem in problems:
        print("check-documents: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
