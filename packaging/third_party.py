#!/usr/bin/env python3
"""What the package owes to others, taken from the build machine:
    third_party.py notices COMPILER OUT.txt
        the notices of every runtime library that a -static MinGW-w64 link
        puts into the programs, from their Debian packages' copyright files
    third_party.py sbom COMPILER VERSION EPOCH MSI FILE... > OUT.spdx.json
        an SPDX 2.3 document: the package (the MSI and its SHA-256), its
        files with their SHA-1 and SHA-256, the static libraries in them and
        the tools that built it, with their Debian package versions
The output depends only on the inputs and the installed packages, so two
builds on the same toolchain give the same bytes.
"""
import hashlib
import json
import os
import re
import subprocess
import sys
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


def mingw_sections(text, folders):
    """The stanzas of the files a static link uses, each with its licence text."""
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
        body = licence if "\n" in licence else standalone.get(name, licence)
        copyright_lines = "\n".join(" " + line.strip() for line in p.get("Copyright", "").split("\n"))
        sections.append(f"Files: {' '.join(used)}\nCopyright:\n{copyright_lines}\nLicense: {body.strip()}\n")
        licences.append(name)
    return sections, licences


def gcc_runtime_terms(text):
    """GCC's copyright statement through the end of its runtime library exception."""
    start = text.find("GCC is Copyright")
    end_marker = "requirements of the license of GCC."
    end = text.find(end_marker)
    if start < 0 or end < 0 or GCC_RUNTIME_TERMS not in text:
        sys.exit("third_party.py: the GCC copyright file does not hold the runtime library exception")
    return text[start:end + len(end_marker)] + "\n"


def write_notices(compiler, out_path):
    parts = static_parts(compiler)
    lines = ["Third-party notices", "===================", "",
             "tollbury.exe and dbgcapture.exe contain parts of the following libraries, linked",
             "in statically when they were built (Debian package and version):", ""]
    lines += [f"  {name:<16} {what} ({package} {version})" for name, what, _, package, version in parts]
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
    with open(out_path, "w", encoding="utf-8", newline="\r\n") as out:
        out.write("\n".join(lines).rstrip("\n") + "\n")


def spdx_licence(names):
    ids = []
    for name in names:
        for part in re.split(r"\s+and\s+", name):
            ids.append(SPDX_NAMES.get(part, "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", part)))
    return " AND ".join(sorted(set(ids))) if ids else "NOASSERTION"


def digests(path):
    data = open(path, "rb").read()
    return [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
            {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}]


def spdx_id(kind, name):
    return f"SPDXRef-{kind}-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def write_sbom(compiler, version, epoch, msi, files):
    parts = static_parts(compiler)
    msi_sha256 = hashlib.sha256(open(msi, "rb").read()).hexdigest()
    created = output("date", "-u", "-d", "@" + epoch, "+%Y-%m-%dT%H:%M:%SZ")
    tollbury = "SPDXRef-Package-Tollbury"
    packages = [{
        "SPDXID": tollbury, "name": "Tollbury", "versionInfo": version, "supplier": "Organization: Verdanto",
        "packageFileName": os.path.basename(msi), "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
        "checksums": [{"algorithm": "SHA256", "checksumValue": msi_sha256}],
        "licenseConcluded": "NOASSERTION", "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION"}]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                      "relatedSpdxElement": tollbury}]
    file_entries = []
    for path in files:
        name = os.path.basename(path)
        file_entries.append({"SPDXID": spdx_id("File", name), "fileName": "./" + name, "checksums": digests(path),
                             "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"})
        relationships.append({"spdxElementId": tollbury, "relationshipType": "CONTAINS",
                              "relatedSpdxElement": spdx_id("File", name)})
    programs = [spdx_id("File", os.path.basename(p)) for p in files if os.path.basename(p) in
                ("tollbury.exe", "dbgcapture.exe")]
    copyrights = {}
    for name, what, folders, package, version_text in parts:
        if package not in copyrights:
            copyrights[package] = open(copyright_file(package), encoding="utf-8").read()
        if folders is None:
            licence = "GPL-3.0-or-later WITH GCC-exception-3.1" if GCC_RUNTIME_TERMS in copyrights[package] \
                else "NOASSERTION"
        else:
            licence = spdx_licence(mingw_sections(copyrights[package], folders)[1])
        packages.append({"SPDXID": spdx_id("Library", name), "name": name, "versionInfo": version_text,
                         "description": what, "sourceInfo": f"Debian package {package} {version_text}",
                         "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
                         "licenseConcluded": "NOASSERTION", "licenseDeclared": licence,
                         "copyrightText": "NOASSERTION"})
        relationships += [{"spdxElementId": program, "relationshipType": "STATIC_LINK",
                           "relatedSpdxElement": spdx_id("Library", name)} for program in programs]
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
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"Tollbury {version}",
        "documentNamespace": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_OID, "tollbury-sbom " + msi_sha256)),
        "creationInfo": {"created": created, "creators": ["Organization: Verdanto", "Tool: scripts/package.sh"]},
        "packages": packages, "files": file_entries, "relationships": relationships,
        "hasExtractedLicensingInfos": [
            {"licenseId": ref, "name": ref[len("LicenseRef-"):],
             "extractedText": "See THIRD-PARTY-NOTICES.txt, installed beside the programs."} for ref in licence_refs],
    }
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "notices":
        write_notices(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 6 and sys.argv[1] == "sbom":
        write_sbom(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
