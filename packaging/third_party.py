"""What of the toolchain a link put into an exe, where it came from and under which licence.

The linker's map (-Wl,-Map) names every archive member and object file that the link took.
Those outside the build are parts of the toolchain: each is owned by a Debian package
(`dpkg-query -S`), whose copyright file (/usr/share/doc/PACKAGE/copyright) gives its licence:
- in the machine-readable format (MinGW-w64's runtime): the paragraphs whose files are in the
  source folders the part is built from, narrowed to the source files of the members linked
  where a paragraph names single files;
- as free text (GCC's runtime libraries): the copyright statement, the list of the libraries
  under the GCC Runtime Library Exception (the part's library must be on it) and the exception.
A part that no rule here describes stops the build: it would be shipped without its notice.
"""
import fnmatch
import os
import re
import subprocess
from dataclasses import dataclass, field

COPYRIGHT_FILE = "/usr/share/doc/{package}/copyright"
COMMON_LICENSES = "/usr/share/common-licenses"
ARCHIVE_SECTION = "Archive member included to satisfy reference by file (symbol)"
SECTION_AFTER_ARCHIVES = ("Discarded input sections", "Memory Configuration", "Linker script and memory map")
ARCHIVE_MEMBER = re.compile(r"^(/\S+\.a)\(([^)]+)\)")
LOADED_OBJECT = re.compile(r"^LOAD (/\S+\.o)$")
# How the runtime's build names the objects in its archives: lib64_libmingwex_a-gdtoa.o is gdtoa.c.
MEMBER_PREFIX = re.compile(r"^lib\w*?_(?:a|la)-")

# The source folders, in MinGW-w64's copyright file, of each part of its runtime (by file name).
# Every other archive of the package is built from mingw-w64-crt: an import library (all its
# members are the stubs that dlltool makes from a .def file) from its lib64 folder.
MINGW_CRT = ("mingw-w64-crt/",)
MINGW_IMPORT_LIBRARY = ("mingw-w64-crt/lib64/",)
IMPORT_STUB = re.compile(r"^lib\w+(?:s\d+|h|t)\.o$")
MINGW_SOURCES = {
    "libpthread.a": ("mingw-w64-libraries/winpthreads/src/", "mingw-w64-libraries/winpthreads/include/"),
    "libwinpthread.a": ("mingw-w64-libraries/winpthreads/src/", "mingw-w64-libraries/winpthreads/include/"),
}
# GCC's runtime parts, by file name, and the library that its copyright file lists them as.
GCC_LIBRARIES = {
    "libgcc.a": "libgcc",
    "libgcc_eh.a": "libgcc",
    "crtbegin.o": "libgcc",
    "crtend.o": "libgcc",
    "libssp.a": "libssp",
    "libstdc++.a": "libstdc++-v3",
}
# The passages of GCC's copyright file that make up the notice: (first line, the line after it).
GCC_STATEMENT = ("COPYRIGHT STATEMENTS AND LICENSING TERMS", "The libbacktrace library")
GCC_EXCEPTION = ("GCC RUNTIME LIBRARY EXCEPTION", "libquadmath/")
GCC_EXCEPTION_LIST = "Runtime Library Exception (included in this file):"
GCC_LICENCE = "GPL-3.0-or-later WITH GCC-exception-3.1"
GCC_FULL_TEXT = "GPL-3"
# Debian's short names of licences whose SPDX identifier differs; any other name that is not an
# SPDX identifier becomes LicenseRef-NAME, with its text in the bill of materials.
SPDX_IDS = {
    "expat": "MIT",
    "BSD-2-clause": "BSD-2-Clause",
    "BSD-3-clause": "BSD-3-Clause",
    "GPL-2+": "GPL-2.0-or-later",
    "GPL-3+": "GPL-3.0-or-later",
    "LGPL-2+": "LGPL-2.0-or-later",
    "LGPL-2.1+": "LGPL-2.1-or-later",
    "ISC": "ISC",
    "ZPL-2.1": "ZPL-2.1",
}


@dataclass
class Licence:
    """One licence text of a notice: where it is from, its SPDX expression, the text itself."""
    label: str
    spdx: str
    text: str
    # LicenseRef-NAME: text of each licence of the expression that has no SPDX identifier.
    refs: dict = field(default_factory=dict)


@dataclass
class Part:
    """A file of the toolchain that went into an exe, with what it came with."""
    path: str
    members: set
    exes: list = field(default_factory=list)
    package: str = ""
    version: str = ""
    architecture: str = ""
    licences: list = field(default_factory=list)
    runtime_exception: bool = False

    @property
    def name(self):
        return os.path.basename(self.path)


def linked_parts(map_path):
    """{real path: set of member file names} of the toolchain's files that the map shows linked.

    An archive counts with the members that the link took (not every archive it searched); an
    object file that the link loaded whole counts as its own member. What lies in the build
    folder, where the map is, is the project's own."""
    build = os.path.realpath(os.path.dirname(os.path.abspath(map_path))) + os.sep
    with open(map_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    parts = {}
    in_archives = False
    for line in lines:
        if line == ARCHIVE_SECTION:
            in_archives = True
            continue
        if line in SECTION_AFTER_ARCHIVES:
            in_archives = False
        m = ARCHIVE_MEMBER.match(line) if in_archives else LOADED_OBJECT.match(line)
        if not m:
            continue
        path = os.path.realpath(m.group(1))
        if not path.startswith(build):
            parts.setdefault(path, set()).add(m.group(2) if in_archives else os.path.basename(path))
    if not parts:
        raise SystemExit(f"{map_path}: no toolchain file linked; is it a linker map?")
    return parts


def dpkg_query(*args):
    done = subprocess.run(["dpkg-query", *args], capture_output=True, text=True)
    return done.returncode, done.stdout


def owners(paths):
    """{path: Debian package} for every path; a file of no package stops the build."""
    _, out = dpkg_query("-S", *paths)
    owner = {}
    for line in out.splitlines():
        packages, _, path = line.partition(": ")
        if path in paths:
            # "pkg[:arch][, pkg...]": the first package that ships it.
            owner[path] = packages.split(", ")[0].split(":")[0]
    missing = sorted(set(paths) - set(owner))
    if missing:
        raise SystemExit(f"no Debian package owns {missing}: its licence cannot be named")
    return owner


def package_versions(packages):
    """{package: (version, architecture)} as dpkg-query reports them."""
    rc, out = dpkg_query("-W", "-f=${Package}\t${Version}\t${Architecture}\n", *sorted(packages))
    found = {}
    for line in out.splitlines():
        name, version, arch = line.split("\t")
        found[name] = (version, arch)
    if rc != 0 or set(found) != set(packages):
        raise SystemExit(f"dpkg-query does not know {sorted(set(packages) - set(found))}")
    return found


def source_stem(member):
    """gdtoa for lib64_libmingwex_a-gdtoa.o: the source file's name without its suffix."""
    return os.path.splitext(MEMBER_PREFIX.sub("", member))[0]


def read_copyright(package):
    path = COPYRIGHT_FILE.format(package=package)
    try:
        with open(path, encoding="utf-8") as f:
            return path, f.read()
    except OSError as e:
        raise SystemExit(f"{package}: no copyright file ({e})")


def deb822_paragraphs(text):
    """The paragraphs of a machine-readable copyright file as (verbatim text, {field: value})."""
    paragraphs = []
    for block in re.split(r"\n\s*\n", text.strip("\n")):
        fields = {}
        key = None
        for line in block.split("\n"):
            if line[:1] in (" ", "\t") and key:
                fields[key] += "\n" + line
            elif ":" in line:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        paragraphs.append((block, fields))
    return paragraphs


def spdx_of(debian_name):
    name = debian_name.strip()
    if name in SPDX_IDS:
        return SPDX_IDS[name], False
    return "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name), True


def spdx_expression(debian_expression, standalone, first_text):
    """("A AND B", {LicenseRef: text}) of a Debian expression such as "BSD-2-clause-NetBSD and ISC"."""
    terms = re.split(r"\s+(and|or)\s+", debian_expression.strip())
    out, refs = [], {}
    for i, term in enumerate(terms):
        if i % 2:
            out.append(term.upper())
            continue
        ident, is_ref = spdx_of(term)
        out.append(ident)
        if is_ref:
            text = first_text if len(terms) == 1 and first_text else standalone.get(term, "")
            if not text:
                raise SystemExit(f"the copyright file names licence {term!r} without its text")
            refs[ident] = text
    return " ".join(out), refs


def pattern_applies(pattern, folders, stems):
    """Whether a Files: pattern of a machine-readable copyright file covers what was linked: all
    files of a folder that holds the part's sources or lies among them, a header of the part's own
    include folder, or a source file whose object was linked."""
    folder, _, name = pattern.rpartition("/")
    folder = folder + "/" if folder else ""
    if not any(source.startswith(folder) or folder.startswith(source) for source in folders):
        return False
    if name == "*":
        return True
    if name.endswith(".h"):
        return folder in folders
    return any(fnmatch.fnmatch(f"{stem}.c", name) or fnmatch.fnmatch(f"{stem}.S", name) for stem in stems)


def machine_readable_licences(package, text, part):
    """The paragraphs of a machine-readable copyright file that cover the part, with the texts of
    the licences they name only by name."""
    paragraphs = deb822_paragraphs(text)
    upstream = paragraphs[0][1].get("Upstream-Name", package)
    standalone = {f["License"].split("\n")[0]: block for block, f in paragraphs
                  if "License" in f and "Files" not in f and "Format" not in f}
    folders = MINGW_SOURCES.get(part.name)
    if folders is None:
        import_library = all(IMPORT_STUB.match(m) for m in part.members)
        folders = MINGW_IMPORT_LIBRARY if import_library else MINGW_CRT
    stems = {source_stem(m) for m in part.members}
    licences = []
    for block, fields in paragraphs:
        if "Files" not in fields or "License" not in fields:
            continue
        patterns = fields["Files"].split()
        if not any(pattern_applies(p, folders, stems) for p in patterns):
            continue
        name, _, own_text = fields["License"].partition("\n")
        spdx, refs = spdx_expression(name, standalone, own_text)
        # The licence's own text, when the paragraph gives only its name.
        texts = [block] + [standalone[n] for n in re.split(r"\s+(?:and|or)\s+", name.strip())
                           if not own_text and n in standalone]
        first = patterns[0] + (" ..." if len(patterns) > 1 else "")
        label = f"{upstream} (Debian package {package}), files {first}"
        licences.append(Licence(label, spdx, "\n\n".join(texts), refs))
    if not licences:
        raise SystemExit(f"{package}'s copyright file covers no source of {part.name}")
    return licences


def passage(text, first, after, path):
    start = text.find("\n" + first)
    end = text.find("\n" + after, start + 1)
    if start < 0 or end < 0:
        raise SystemExit(f"{path}: no passage from {first!r} to {after!r}")
    return text[start + 1:end].rstrip()


def gcc_licences(package, path, text, part):
    """GCC's copyright statement and Runtime Library Exception, when the part's library is one
    the file lists under the exception; the GPL's text is in the notices once."""
    library = GCC_LIBRARIES.get(part.name)
    if library is None:
        raise SystemExit(f"{part.name} of {package}: not a known GCC runtime part, so no licence is known for it")
    statement = passage(text, *GCC_STATEMENT, path)
    at = statement.find(GCC_EXCEPTION_LIST)
    listed = statement[at:] if at >= 0 else ""
    if not re.search(rf"^ - {re.escape(library)}\b", listed, re.MULTILINE):
        raise SystemExit(f"{path} does not list {library} under the GCC Runtime Library Exception")
    exception = passage(text, *GCC_EXCEPTION, path)
    part.runtime_exception = True
    return [Licence(f"GCC runtime libraries (Debian package {package})", GCC_LICENCE,
                    statement + "\n\n\n" + exception)]


def describe(map_paths):
    """{real path: Part} of every toolchain file linked into the exes of the given maps, with its
    package, version, licences and the exes it went into. map_paths: (exe name, map) pairs."""
    parts = {}
    for exe, map_path in map_paths:
        for path, members in linked_parts(map_path).items():
            part = parts.setdefault(path, Part(path, set()))
            part.members |= members
            if exe not in part.exes:
                part.exes.append(exe)
    owner = owners(sorted(parts))
    versions = package_versions(set(owner.values()))
    for path, part in parts.items():
        part.package = owner[path]
        part.version, part.architecture = versions[part.package]
        copyright_path, text = read_copyright(part.package)
        if text.startswith("Format:"):
            part.licences = machine_readable_licences(part.package, text, part)
        else:
            part.licences = gcc_licences(part.package, copyright_path, text, part)
    return parts


def full_text(name):
    with open(os.path.join(COMMON_LICENSES, name), encoding="utf-8") as f:
        return f.read()
