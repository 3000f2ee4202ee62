#!/usr/bin/env python3
"""What the package owes to others, taken from the build machine:
    third_party.py notices --compiler C --out OUT.txt [--winsparkle DLL LICENCE] PROGRAM...
        the notices of every runtime library that a -static MinGW-w64 link
        puts into the programs, from their Debian packages' copyright files,
        and WinSparkle's licence when it is shipped
    third_party.py sbom --compiler C --version V --epoch E --msi MSI [--winsparkle DLL LICENCE] FILE...
        an SPDX 2.3 document on standard output: the package (the MSI and its
        SHA-256, its installed files with their SHA-1 and SHA-256 and its
        verification code), the static libraries in its programs (the FILEs
        that end in .exe), WinSparkle when shipped, the tools that built it
        with their Debian package versions, and the licence texts
    third_party.py version FILE
        a PE file's numeric version (VS_FIXEDFILEINFO) as a.b.c.d; nothing
        when it has none
The output depends only on the inputs and the installed packages, so two
builds on the same toolchain give the same bytes.
"""
import argparse
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import textwrap
import uuid

# What -static -static-libgcc -static-libstdc++ links in: library file,
# what it is, and for mingw-w64's files the source folders it is built from.
STATIC_PARTS = [
    ("crt2.o", "mingw-w64 start-up code", ("mingw-w64-crt/",)),
    ("libmingw32.a", "mingw-w64 runtime", ("mingw-w64-crt/",)),
    ("libmingwex.a", "mingw-w64 runtime extensions", ("mingw-w64-crt/",)),
    ("libmsvcrt.a", "mingw-w64 C runtime import library", ("mingw-w64-crt/",)),
    ("libwinpthread.a", "winpthreads", ("mingw-w64-libraries/winpthreads/",)),
    ("libgcc.a", "GCC runtime library (libgcc)", None),
    ("libgcc_eh.a", "GCC exception handling runtime", None),
    ("libstdc++.a", "GNU C++ library (libstdc++)", None),
]
TOOLS = ["binutils-mingw-w64-x86-64", "wixl", "msitools"]
GCC_RUNTIME_TERMS = "GNU General Public License (v3 or later) with version 3.1 of the GCC\nRuntime Library Exception"
# Debian's short licence names as SPDX identifiers; others become LicenseRef-.
SPDX_NAMES = {"expat": "MIT", "ZPL-2.1": "ZPL-2.1", "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC"}


def output(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()


def debian_package(path):
    return output("dpkg", "-S", os.path.realpath(path)).split(":")[0]


def package_version(package):
    return output("dpkg-query", "-W", "-f=${Version}", package)


def copyright_file(package):
    return os.path.join("/usr/share/doc", package, "copyright")


def static_parts(compiler):
    """[(file name, what, folders, Debian package, version)] of the libraries linked in."""
    parts = []
    for name, what, folders in STATIC_PARTS:
        path = output(compiler, "-print-file-name=" + name)
        if not os.path.isabs(path):
            sys.exit(f"third_party.py: {compiler} does not know {name}")
        package = debian_package(path)
        parts.append((name, what, folders, package, package_version(package)))
    return parts


def stanzas(text):
    """The paragraphs of a machine-readable copyright file as {field: value} (continuations joined)."""
    result = []
    for paragraph in re.split(r"\n\s*\n", text):
        fields, current = {}, None
        for line in paragraph.split("\n"):
            if line[:1] in (" ", "\t") and current:
                fields[current] += "\n" + line
            elif ":" in line:
                current, value = line.split(":", 1)
                fields[current] = value.strip()
        if fields:
            result.append(fields)
    return result


def licence_body(name, standalone):
    """A licence field's text: its own lines, else the stand-alone paragraph
    of its name, else, for a compound name ("X and Y"), each part's text."""
    if name in standalone:
        return standalone[name]
    parts = re.split(r"\s+and\s+", name)
    if len(parts) > 1 and all(part in standalone for part in parts):
        return name + "\n" + "\n .\n".join(" " + standalone[part].replace("\n", ":\n", 1) for part in parts)
    return name


def mingw_sections(text, folders):
    """The stanzas of the files a static link uses, each with its licence text,
    and [(name, text)] of the licences they name, a compound one in its parts."""
    paragraphs = stanzas(text)
    standalone = {p["License"].split("\n")[0].strip(): p["License"] for p in paragraphs
                  if "Files" not in p and "License" in p}
    sections, licences = [], []
    for p in paragraphs:
        patterns = p.get("Files", "").split()
        used = [f for f in patterns if f == "*" or (f.startswith(folders) and "/tests" not in f)]
        if not used:
            continue
        licence = p.get("License", "")
        name = licence.split("\n")[0].strip()
        body = licence if "\n" in licence else licence_body(name, standalone)
        copyright_lines = "\n".join(" " + line.strip() for line in p.get("Copyright", "").split("\n"))
        sections.append(f"Files: {' '.join(used)}\nCopyright:\n{copyright_lines}\nLicense: {body.strip()}\n")
        parts = re.split(r"\s+and\s+", name)
        licences += [(name, body)] if len(parts) == 1 else [(part, standalone.get(part, part)) for part in parts]
    return sections, licences


def plain_text(body):
    """A copyright file's licence text without its name line and indentation."""
    lines = body.split("\n")[1:]
    return "\n".join("" if line.strip() == "." else line[1:] if line[:1] == " " else line for line in lines).strip()


def gcc_runtime_terms(text):
    """GCC's copyright statement through the end of its runtime library exception."""
    start = text.find("GCC is Copyright")
    end_marker = "requirements of the license of GCC."
    end = text.find(end_marker)
    if start < 0 or end < 0 or GCC_RUNTIME_TERMS not in text:
        sys.exit("third_party.py: the GCC copyright file does not hold the runtime library exception")
    return text[start:end + len(end_marker)] + "\n"


def pe_version(path):
    """The numeric version in a PE file's VS_FIXEDFILEINFO as a.b.c.d, or None."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0 or at + 16 > len(data):
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def read_text(path):
    return open(path, encoding="utf-8", errors="replace").read().replace("\r\n", "\n").strip() + "\n"


def write_notices(compiler, out_path, programs, winsparkle):
    parts = static_parts(compiler)
    lines = ["Third-party notices", "===================", "",
             *textwrap.wrap(f"{' and '.join([', '.join(programs[:-1]), programs[-1]] if len(programs) > 1 else programs)}"
                            " contain parts of the following libraries, linked in statically when they were built"
                            " (Debian package and version):", 80), ""]
    lines += [f"  {name:<16} {what} ({package} {version})" for name, what, _, package, version in parts]
    if winsparkle:
        lines += ["", "WinSparkle.dll, the update framework, is shipped beside them under its own",
                  "licence, the last section below."]
    done = set()
    for name, what, folders, package, version in parts:
        key = (package, folders is None)
        if key in done:
            continue
        done.add(key)
        text = open(copyright_file(package), encoding="utf-8").read()
        if folders is None:
            lines += ["", "", f"GCC runtime libraries ({package} {version})", "-" * 60, "", gcc_runtime_terms(text),
                      "", "GNU General Public License, version 3", "-" * 60, "",
                      open("/usr/share/common-licenses/GPL-3", encoding="utf-8").read()]
        else:
            folders_all = tuple(f for _, _, fs, p, _ in parts if p == package and fs for f in fs)
            sections, _ = mingw_sections(text, folders_all)
            lines += ["", "", f"mingw-w64 runtime and winpthreads ({package} {version})", "-" * 60, ""]
            lines += [s.replace("\n .\n", "\n\n") for s in sections]
    if winsparkle:
        dll, licence = winsparkle
        lines += ["", "", f"WinSparkle (WinSparkle.dll, version {pe_version(dll) or 'unknown'})", "-" * 60, "",
                  read_text(licence)]
    with open(out_path, "w", encoding="utf-8", newline="\r\n") as out:
        out.write("\n".join(lines).rstrip("\n") + "\n")


def licence_ref(name):
    return "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def spdx_licence(names):
    ids = sorted({SPDX_NAMES.get(name, licence_ref(name)) for name in names})
    return " AND ".join(ids) if ids else "NOASSERTION"


def digests(path):
    data = open(path, "rb").read()
    return [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
            {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}]


def verification_code(file_entries):
    """SPDX 2.3, 7.9: the SHA-1 of the files' sorted SHA-1s, concatenated."""
    sha1s = sorted(f["checksums"][0]["checksumValue"] for f in file_entries)
    return {"packageVerificationCodeValue": hashlib.sha1("".join(sha1s).encode()).hexdigest()}


def spdx_id(kind, name):
    return f"SPDXRef-{kind}-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def contains(container, element):
    return {"spdxElementId": container, "relationshipType": "CONTAINS", "relatedSpdxElement": element}


def winsparkle_package(dll, licence):
    """The update framework as a package of its own: the DLL's version, SHA-256
    and licence file (its text under LicenseRef-WinSparkle)."""
    text = read_text(licence)
    copyright_lines = [line.strip() for line in text.split("\n") if re.match(r"\s*(Copyright|\(c\)|©)", line, re.I)]
    package = {"SPDXID": spdx_id("Package", "WinSparkle"), "name": "WinSparkle",
               "packageFileName": "WinSparkle.dll", "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
               "checksums": [{"algorithm": "SHA256", "checksumValue": digests(dll)[1]["checksumValue"]}],
               "licenseConcluded": "NOASSERTION", "licenseDeclared": "LicenseRef-WinSparkle",
               "copyrightText": "\n".join(copyright_lines) or "NOASSERTION"}
    version = pe_version(dll)
    if version:
        package = dict(list(package.items())[:2] + [("versionInfo", version)] + list(package.items())[2:])
    return package, {"LicenseRef-WinSparkle": ("WinSparkle licence", [text.strip()])}


def write_sbom(compiler, version, epoch, msi, files, winsparkle):
    parts = static_parts(compiler)
    msi_sha256 = hashlib.sha256(open(msi, "rb").read()).hexdigest()
    created = output("date", "-u", "-d", "@" + epoch, "+%Y-%m-%dT%H:%M:%SZ")
    tollbury = "SPDXRef-Package-Tollbury"
    file_entries = [{"SPDXID": spdx_id("File", os.path.basename(path)), "fileName": "./" + os.path.basename(path),
                     "checksums": digests(path), "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"}
                    for path in files]
    packages = [{
        "SPDXID": tollbury, "name": "Tollbury", "versionInfo": version, "supplier": "Organization: Verdanto",
        "packageFileName": os.path.basename(msi), "downloadLocation": "NOASSERTION",
        "packageVerificationCode": verification_code(file_entries),
        "checksums": [{"algorithm": "SHA256", "checksumValue": msi_sha256}],
        "licenseConcluded": "NOASSERTION", "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION"}]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": tollbury}]
    relationships += [contains(tollbury, f["SPDXID"]) for f in file_entries]
    programs = [spdx_id("File", os.path.basename(p)) for p in files if p.endswith(".exe")]
    licence_texts = {}  # LicenseRef: (name, [texts])
    copyrights = {}
    for name, what, folders, package, version_text in parts:
        if package not in copyrights:
            copyrights[package] = open(copyright_file(package), encoding="utf-8").read()
        if folders is None:
            licence = "GPL-3.0-or-later WITH GCC-exception-3.1" if GCC_RUNTIME_TERMS in copyrights[package] \
                else "NOASSERTION"
        else:
            licences = mingw_sections(copyrights[package], folders)[1]
            licence = spdx_licence(name for name, _ in licences)
            for licence_name, body in licences:
                if licence_name not in SPDX_NAMES:
                    texts = licence_texts.setdefault(licence_ref(licence_name), (licence_name, []))[1]
                    if plain_text(body) and plain_text(body) not in texts:
                        texts.append(plain_text(body))
        packages.append({"SPDXID": spdx_id("Library", name), "name": name, "versionInfo": version_text,
                         "description": what, "sourceInfo": f"Debian package {package} {version_text}",
                         "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
                         "licenseConcluded": "NOASSERTION", "licenseDeclared": licence,
                         "copyrightText": "NOASSERTION"})
        relationships += [{"spdxElementId": program, "relationshipType": "STATIC_LINK",
                           "relatedSpdxElement": spdx_id("Library", name)} for program in programs]
    if winsparkle:
        package, texts = winsparkle_package(*winsparkle)
        packages.append(package)
        licence_texts.update(texts)
        relationships.append(contains(tollbury, package["SPDXID"]))
    compiler_package = debian_package(output("sh", "-c", f"command -v {compiler}"))
    for tool in [compiler_package] + TOOLS:
        packages.append({"SPDXID": spdx_id("Tool", tool), "name": tool, "versionInfo": package_version(tool),
                         "sourceInfo": f"Debian package {tool}", "downloadLocation": "NOASSERTION",
                         "filesAnalyzed": False, "licenseConcluded": "NOASSERTION",
                         "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION"})
        relationships.append({"spdxElementId": spdx_id("Tool", tool), "relationshipType": "BUILD_TOOL_OF",
                              "relatedSpdxElement": tollbury})
    licence_refs = sorted({ref for p in packages for ref in re.findall(r"LicenseRef-[A-Za-z0-9.-]+",
                                                                        p["licenseDeclared"])})
    missing = [ref for ref in licence_refs if not licence_texts.get(ref, ("", []))[1]]
    if missing:
        sys.exit(f"third_party.py: no licence text found for {', '.join(missing)}")
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"Tollbury {version}", "documentNamespace": None,
        "creationInfo": {"created": created, "creators": ["Organization: Verdanto", "Tool: scripts/package.sh"]},
        "packages": packages, "files": file_entries, "relationships": relationships,
        "hasExtractedLicensingInfos": [
            {"licenseId": ref, "name": licence_texts[ref][0], "extractedText": "\n\n".join(licence_texts[ref][1])}
            for ref in licence_refs],
    }
    # One namespace per document (SPDX 2.3, 6.5): the digest of everything else in it.
    content = json.dumps({k: v for k, v in document.items() if k != "documentNamespace"}, indent=2)
    digest = hashlib.sha256(content.encode()).hexdigest()
    document["documentNamespace"] = "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_OID, "tollbury-sbom " + digest))
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "version":
        print(pe_version(sys.argv[2]) or "")
        return
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("command", choices=("notices", "sbom"))
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--out")
    parser.add_argument("--version")
    parser.add_argument("--epoch")
    parser.add_argument("--msi")
    parser.add_argument("--winsparkle", nargs=2, metavar=("DLL", "LICENCE"))
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if args.command == "notices" and args.out:
        write_notices(args.compiler, args.out, [os.path.basename(f) for f in args.files], args.winsparkle)
    elif args.command == "sbom" and args.version and args.epoch and args.msi:
        write_sbom(args.compiler, args.version, args.epoch, args.msi, args.files, args.winsparkle)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
