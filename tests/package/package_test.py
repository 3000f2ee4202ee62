#!/usr/bin/env python3
"""Tests of the deployment kit.

  package_test.py tables BUILD_DIR OUT_DIR [WINSPARKLE_CACHE_VALUE]
      builds the package with scripts/package.sh and reads its tables back
      with msiinfo (no Wine): 64-bit template and components, a Guid on every
      component, the files (the exe identical to the built one, no
      WinSparkle.dll unless the build names a real one), the registry rows and
      their types, the shortcut, the upgrade rows; the same inputs give the
      same bytes, also for a key-carrying build; a malformed update key
      fails the configure.
  package_test.py e2e BUILD_DIR OUT_DIR
      under Wine, in a prefix of its own (OUT_DIR/prefix): a plain install whose start starts the client;
      a repair with properties, the registry values, the installed tollbury.exe against
      a client tree; an upgrade without properties keeping every setting; a
      downgrade refused; an uninstall that leaves the key files and LastCheck.
  package_test.py sign BUILD_DIR OUT_DIR
      signs with a throwaway self-signed code-signing certificate: the
      programs (PKCS#12 and PEM pair) and a signed package verify with that
      certificate as CA file, a file changed by one byte does not, and the
      signed tollbury.exe starts under Wine (WINEPREFIX from the environment).
  package_test.py admx
      the Group Policy templates: well-formed (xmllint), every string,
      presentation, category and support reference resolves, and every key,
      value name and type they write is one the program reads, as its own
      sources name them.
"""
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PACKAGE = os.path.join(SOURCE, "scripts", "package.sh")
THIRD_PARTY = os.path.join(SOURCE, "packaging", "third_party.py")
COMPILER = "x86_64-w64-mingw32-g++-posix"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

failures = []


def check(condition, what):
    print(("ok:   " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)
    return condition


def run(*args, env=None, check_rc=True):
    result = subprocess.run(args, capture_output=True, text=True, env=env)
    if check_rc and result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


def build_package(build_dir, out_dir, *extra):
    lines = run(PACKAGE, "--build-dir", build_dir, "--no-build", "--out-dir", out_dir, *extra).stdout.split()
    return lines[-1]


def table(msi, name):
    """A table's rows as lists of columns (msiinfo export, header dropped)."""
    text = run("msiinfo", "export", msi, name).stdout.replace("\r", "")
    return [line.split("\t") for line in text.split("\n")[3:] if line]


def file_version(path):
    """The numeric file version of a PE file's VS_FIXEDFILEINFO, as a.b.c."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"


# The settings the package writes: property, key, value name, registry type.
SESSION_KEY = r"SOFTWARE\Verdanto\Client\sessions\[SESSION]"
SETTINGS = [
    ("UPGRADECHECK", r"SOFTWARE\Verdanto\Client\Tollbury", "UpgradeCheck", "REG_SZ"),
    ("SINGLEUSER", SESSION_KEY, "SingleUser", "REG_DWORD"),
    ("SERVER", SESSION_KEY, "Server", "REG_SZ"),
    ("HOSTNAME", SESSION_KEY, "HostName", "REG_SZ"),
    ("SERVERKEYPINS", SESSION_KEY, "ServerKeyPins", "REG_SZ"),
    ("VERIFYSERVERCERTIFICATE", SESSION_KEY, "VerifyServerCertificate", "REG_DWORD"),
    ("REPORTTOEVENTLOG", r"SOFTWARE\Policies\Verdanto\Client\Tollbury", "ReportToEventLog", "REG_DWORD"),
]
EVENT_SOURCE = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\Tollbury"


def sbom_namespace(msi, folder, wixl_version):
    """The namespace of msi's bill of materials (msi its one file), with dpkg-query giving wixl_version."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "dpkg-query"), "w") as script:
        script.write(f'#!/bin/sh\n[ "$3" = wixl ] && [ -n "{wixl_version}" ] && {{ echo {wixl_version}; exit 0; }}\n'
                     'exec /usr/bin/dpkg-query "$@"\n')
    os.chmod(os.path.join(folder, "dpkg-query"), 0o755)
    return json.loads(run(sys.executable, THIRD_PARTY, "sbom", "--compiler", COMPILER, "--version", "1", "--epoch", "0",
                          "--msi", msi, msi, env=dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"]))
                      .stdout)["documentNamespace"]


def test_tables(build_dir, out_dir, winsparkle_cache):
    shutil.rmtree(out_dir, ignore_errors=True)
    msi = build_package(build_dir, out_dir)
    bin_dir = os.path.join(build_dir, "bin")

    summary = run("msiinfo", "suminfo", msi).stdout
    check("Template: x64;1033" in summary, "summary information: 64-bit template")
    props = dict(r[:2] for r in table(msi, "Property"))
    check(props.get("ProductVersion") == file_version(os.path.join(bin_dir, "tollbury.exe")),
          f"ProductVersion {props.get('ProductVersion')} is the exe's numeric version")
    check(props.get("SESSION") == "vrd", "SESSION defaults to vrd")
    check(props.get("ALLUSERS") == "1", "per-machine (ALLUSERS=1)")
    secure = props.get("SecureCustomProperties", "").split(";")
    check(all(p in secure for p, *_ in SETTINGS) and "SESSION" in secure,
          "every setting property is a secure public property")

    components = {r[0]: r for r in table(msi, "Component")}
    check(all(re.fullmatch(r"\{[0-9A-F-]{36}\}", r[1]) for r in components.values()),
          "every component has a Guid")
    check(all(int(r[3]) & 256 for r in components.values()), "every component is 64-bit")

    files = {r[2].split("|")[-1]: r for r in table(msi, "File")}
    check({"tollbury.exe", "tollbury-check.exe", "dbgcapture.exe"} <= set(files),
          "tollbury.exe, tollbury-check.exe and dbgcapture.exe are packaged")
    check(files["tollbury.exe"][4] == props.get("ProductVersion") + ".0",
          "tollbury.exe is a versioned file with the product's version")
    directories = {r[0]: r for r in table(msi, "Directory")}
    install_dir = components[files["tollbury.exe"][1]][2]
    path = []
    while install_dir in directories and install_dir != "TARGETDIR":
        path.insert(0, directories[install_dir][2].split("|")[-1])
        install_dir = directories[install_dir][1]
    check(path == [".", "Verdanto", "Tollbury"] and directories["VerdantoFolder"][1] == "ProgramFiles64Folder",
          "installed into Program Files\\Verdanto\\Tollbury (64-bit)")
    if winsparkle_cache:
        check("WinSparkle.dll" in files, "the WinSparkle.dll named by the build is packaged")
    else:
        check("WinSparkle.dll" not in files, "the default package holds no WinSparkle.dll")
    stand_in = os.path.join(bin_dir, "WinSparkle.dll")
    if os.path.exists(stand_in):
        refused = run(PACKAGE, "--build-dir", build_dir, "--no-build", "--out-dir", os.path.join(out_dir, "x"),
                      "--winsparkle", stand_in, check_rc=False)
        check(refused.returncode != 0 and "stand-in" in refused.stderr, "the tests' stand-in is refused")
    # The update framework (the stand-in's other build, which the script cannot tell from a real one).
    framework = os.path.join(out_dir, "framework", "WinSparkle.dll")
    os.makedirs(os.path.dirname(framework), exist_ok=True)
    shutil.copy(os.path.join(bin_dir, "WinSparkleNoCleanup.dll"), framework)
    refused = run(PACKAGE, "--build-dir", build_dir, "--no-build", "--out-dir", os.path.join(out_dir, "framework"),
                  "--winsparkle", framework, check_rc=False)
    check(refused.returncode != 0 and "--winsparkle-licence" in refused.stderr, "WinSparkle.dll without its licence"
          f" file is refused: {refused.stderr.strip()}")
    licence = "WinSparkle stand-in licence\n\nCopyright (C) 2026 The tests\n\nKeep this notice with every copy.\n"
    open(os.path.join(os.path.dirname(framework), "COPYING"), "w").write(licence)
    shipped = build_package(build_dir, os.path.join(out_dir, "framework"), "--winsparkle", framework)
    with tempfile.TemporaryDirectory() as extracted:
        run("msiextract", "-C", extracted, shipped)
        notices = [open(os.path.join(d, "THIRD-PARTY-NOTICES.txt"), "rb").read() for d, _, n in os.walk(extracted)
                   if "THIRD-PARTY-NOTICES.txt" in n]
    document = json.load(open(shipped[:-len(".msi")] + ".spdx.json"))
    framework_package = [p for p in document["packages"] if p["name"] == "WinSparkle"] or [{}]
    check(notices and notices[0].endswith(licence.replace("\n", "\r\n").encode())
          and framework_package[0].get("versionInfo") == "0.8.1.0" and framework_package[0].get("checksums") ==
          [{"algorithm": "SHA256", "checksumValue": hashlib.sha256(open(framework, "rb").read()).hexdigest()}]
          and framework_package[0].get("licenseDeclared") == "LicenseRef-WinSparkle"
          and {"licenseId": "LicenseRef-WinSparkle", "name": "WinSparkle licence", "extractedText": licence.strip()}
          in document["hasExtractedLicensingInfos"] and {"spdxElementId": "SPDXRef-Package-Tollbury", "relationshipType":
          "CONTAINS", "relatedSpdxElement": "SPDXRef-Package-WinSparkle"} in document["relationships"],
          "with the update framework and its licence: the notices end with it, and the SPDX document holds its package")

    with tempfile.TemporaryDirectory() as extracted:
        run("msiextract", "-C", extracted, msi)
        found = {name: os.path.join(d, name) for d, _, names in os.walk(extracted) for name in names}
        installed_sha1s = sorted(hashlib.sha1(open(path, "rb").read()).hexdigest() for path in found.values())
        for name in ("tollbury.exe", "tollbury-check.exe", "dbgcapture.exe"):
            same = name in found and open(found[name], "rb").read() == open(os.path.join(bin_dir, name), "rb").read()
            check(same, f"the packaged {name} is the built one, byte for byte")
        notices = open(found.get("THIRD-PARTY-NOTICES.txt", os.devnull), encoding="utf-8").read()
        check(all(n in notices for n in ("libwinpthread.a", "mingw-w64-libraries/winpthreads/*", "Permission is hereby "
              "granted", "License: ZPL-2.1", "GCC RUNTIME LIBRARY EXCEPTION", "GNU GENERAL PUBLIC LICENSE")),
              "THIRD-PARTY-NOTICES.txt names the static libraries and carries the mingw-w64, winpthreads and GCC terms")

    sbom = json.load(open(msi[:-len(".msi")] + ".spdx.json"))
    versions = {p["name"]: p["versionInfo"] for p in sbom["packages"]}
    hashes = {f["fileName"]: f["checksums"][-1]["checksumValue"] for f in sbom["files"]}
    winpthread = os.path.realpath(run(COMPILER, "-print-file-name=libwinpthread.a").stdout.strip())
    dpkg = run("dpkg-query", "-W", "-f=${Version}", run("dpkg", "-S", winpthread).stdout.split(":")[0]).stdout
    check(sbom["spdxVersion"] == "SPDX-2.3" and versions["Tollbury"] == props["ProductVersion"]
          and sbom["packages"][0]["checksums"][0]["checksumValue"] == hashlib.sha256(open(msi, "rb").read()).hexdigest()
          and hashes.get("./tollbury.exe") == hashlib.sha256(open(os.path.join(bin_dir, "tollbury.exe"), "rb").read())
          .hexdigest() and versions.get("libwinpthread.a") == dpkg and "wixl" in versions,
          "the SPDX document beside the package: its SHA-256, the files', the static libraries' and tools' versions")
    unanalysed = {p["SPDXID"] for p in sbom["packages"] if p.get("filesAnalyzed") is False}
    check(not [r for r in sbom["relationships"] if r["relationshipType"] == "CONTAINS" and r["spdxElementId"] in
               unanalysed], "no package whose files are not analysed CONTAINS anything (SPDX 2.3, 7.8)")
    check(sbom["packages"][0]["packageVerificationCode"]["packageVerificationCodeValue"] ==
          hashlib.sha1("".join(installed_sha1s).encode()).hexdigest(), "the verification code, from the installed files")
    refs = {r["licenseId"]: r["extractedText"] for r in sbom["hasExtractedLicensingInfos"]}
    check(refs and all(len(text) > 40 and "THIRD-PARTY" not in text for text in refs.values())
          and "NETBSD FOUNDATION" in refs.get("LicenseRef-BSD-2-clause-NetBSD", "")
          and all(t in notices for t in (" BSD-2-clause-NetBSD:\n Redistribution", " ISC:\n Permission to use")),
          "each licence reference holds its text; the notices give both parts of a compound licence")
    check(sbom_namespace(msi, os.path.join(out_dir, "dpkg"), "") != sbom_namespace(msi, os.path.join(out_dir, "dpkg"), "0.1"),
          "the document's namespace changes when one recorded tool version does")
    changelog = open(os.path.join(SOURCE, "CHANGELOG.md"), encoding="utf-8").read()
    newest = re.search(r"^## \[(\d+\.\d+\.\d+)\] - \d{4}-\d\d-\d\d$", changelog, re.M)
    check(newest is not None and newest.group(1) == props["ProductVersion"] and re.search(r"^## ", changelog, re.M)
          .start() == changelog.find("## [Unreleased]"),
          f"CHANGELOG.md's newest entry is the package's version ({newest and newest.group(1)})")

    registry = {(r[2], r[3]): r for r in table(msi, "Registry")}
    actions = {r[0]: r for r in table(msi, "CustomAction")}
    for prop, key, name, kind in SETTINGS:
        row = registry.get((key, name))
        ok = row is not None and row[1] == "2" and row[2] == key and row[4] == f"[REG_{prop}]"
        removal = "" if prop == "REPORTTOEVENTLOG" else ' OR REMOVE = "ALL"'  # only what its own record says
        ok = ok and components[row[5]][4] == f"REG_{prop}{removal}" and int(components[row[5]][3]) & 64
        given = [a for a in actions.values() if a[2] == f"REG_{prop}" and prop in a[3] and "OLD_" not in a[3]]
        kept = [a for a in actions.values() if a[2] == f"REG_{prop}" and a[3] == f"[OLD_{prop}]"]
        types = {a[3].startswith("#") for a in given}
        ok = ok and bool(kept) and (types == {True} if kind == "REG_DWORD" else False in types)
        check(ok, f"{prop} writes HKLM\\{key}\\{name} as {kind} only when known (transitive), and is read back first")
    source = sorted((r[3], r[4]) for r in registry.values() if r[2] == EVENT_SOURCE and not components[r[5]][4])
    check(source == [("-", ""), ("EventMessageFile", "[INSTALLDIR]tollbury.exe"), ("TypesSupported", "#3")],
          f"the event source Tollbury is always registered and its key removed on uninstall: {source}")
    reads, _, default_session = program_reads()
    for prop, key, name, kind in SETTINGS:
        actual = reads.get((key.replace("[SESSION]", default_session), name), "not read")
        check(actual == kind, f"the program reads {name} as {kind} (its sources say {actual})")
    searches = {r[0]: r for r in table(msi, "AppSearch")}
    check(all(f"OLD_{p}" in searches for p, *_ in SETTINGS), "every setting is read back (AppSearch)")
    locators = table(msi, "RegLocator")
    check(all(int(r[4]) & 16 for r in locators), "registry searches look in the 64-bit view")
    record = registry.get((r"SOFTWARE\Verdanto\Tollbury", "ReportToEventLog"), [""] * 6)
    policy = registry.get((SETTINGS[-1][1], "ReportToEventLog"), [""] * 6)
    search = [r[1:4] for r in locators if r[0] == searches.get("OLD_REPORTTOEVENTLOG", [""] * 2)[1]]
    check(record[4] == "[REG_REPORTTOEVENTLOG]" and record[5] == policy[5] and components[policy[5]][5] == record[0]
          and search == [["2", r"SOFTWARE\Verdanto\Tollbury", "ReportToEventLog"]],
          "the policy value is noted in the package's own record, its key path, and read back from there alone")

    shortcuts = table(msi, "Shortcut")
    icons = {s[len("Icon."):] for s in run("msiinfo", "streams", msi).stdout.split() if s.startswith("Icon.")}
    icon = subprocess.run(["msiinfo", "extract", msi, "Icon." + props.get("ARPPRODUCTICON", "")],
                          capture_output=True).stdout
    check(props.get("ARPPRODUCTICON", "").endswith(".exe") and icons == {props["ARPPRODUCTICON"]}
          and shortcuts[0][8] == props["ARPPRODUCTICON"]
          and icon == open(os.path.join(build_dir, "icon", "tollbury_icon.exe"), "rb").read(),
          "the icon's PE file in the Icon table, for Add/Remove Programs and the shortcut")
    rows = {r[0]: r for r in table(msi, "Registry")}
    key_path = rows.get(components.get(shortcuts[0][3], [""] * 6)[5], [""] * 6)
    check(len(shortcuts) == 1 and shortcuts[0][1] == "ProgramMenuFolder" and shortcuts[0][2] == "Verdanto Client"
          and shortcuts[0][4] == "[#TollburyExe]" and key_path[1] == "-1" and key_path[5] == shortcuts[0][3],
          "Start-menu shortcut \"Verdanto Client\" to tollbury.exe, not advertised, keyed by an HKMU value (ICE43)")
    check({a[1] for a in actions.values()} == {"51"}, "property setters are plain type 51 (ICE68)")
    gate = [r for r in rows.values() if r[1:4] == ["2", r"SOFTWARE\Verdanto\Client\Tollbury", "+"]] or [[""] * 6]
    gate_path = rows.get(components.get(gate[0][5], [""] * 6)[5], [""] * 6)
    check(components.get(gate[0][5], [""] * 6)[3:5] == ["276", ""] and gate_path[2] == gate[0][2]
          and gate_path[3] not in ("", "+", "-", "*") and gate_path[4] and gate_path[5] == gate[0][5],
          "the Tollbury key is always made and kept; its component's key path is a value")
    session = components.get(([r[5] for r in rows.values() if r[1:5] == ["2", SESSION_KEY, "", ""]] or [""])[0], [""] * 6)
    check(session[4] == "" and not int(session[3] or 16) & 16
          and rows.get(session[5], [""] * 6)[2:4] == [r"SOFTWARE\Verdanto\Tollbury", "Session"],
          "every install makes the session's key, without a value; its component is keyed by the package's record")
    check(table(msi, "MsiLockPermissionsEx") == [["TollburyKeyUsersSetValue", gate[0][0], "Registry",
          "D:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;0x2;;;BU)", ""]], "Users may set values in that key alone")

    upgrade = table(msi, "Upgrade")
    code = props["UpgradeCode"].upper()
    check(len(upgrade) == 2 and all(r[0].upper() == code for r in upgrade), "upgrade rows for the UpgradeCode")
    check(any(r[6] == "WIX_UPGRADE_DETECTED" and r[2] == props["ProductVersion"] for r in upgrade)
          and any(r[6] == "WIX_DOWNGRADE_DETECTED" and r[1] == props["ProductVersion"] for r in upgrade),
          "older versions are upgraded, newer ones detected")
    conditions = {r[0]: r[1] for r in table(msi, "LaunchCondition")}
    check("newer version" in conditions.get("NOT WIX_DOWNGRADE_DETECTED", ""), "a downgrade is refused with a message")
    sequence = {r[0]: int(r[2]) for r in table(msi, "InstallExecuteSequence")}
    check("RemoveExistingProducts" in sequence, "the older product is removed on upgrade")
    check(all(sequence["AppSearch"] < sequence[a] < sequence["CostFinalize"] for a in actions if a in sequence),
          "the values are settled between AppSearch and CostFinalize")

    again = build_package(build_dir, os.path.join(out_dir, "again"))
    check(all(open(a, "rb").read() == open(b, "rb").read() for a, b in
              ((msi, again), (msi[:-4] + ".spdx.json", again[:-4] + ".spdx.json"))),
          "the same inputs give the same package and SPDX document, byte for byte")

    # A key-carrying build: the tree with the test build's tollbury_keyed.exe as its tollbury.exe.
    keyed = os.path.join(out_dir, "keyed")
    os.makedirs(os.path.join(keyed, "bin"))
    for name in ("CMakeCache.txt", "CMakeFiles", "icon"):
        os.symlink(os.path.join(build_dir, name), os.path.join(keyed, name))
    for name in ("tollbury-check.exe", "dbgcapture.exe", "tollbury_keyed.exe"):
        shutil.copy(os.path.join(bin_dir, name), os.path.join(keyed, "bin", name.replace("_keyed", "")))
    pair = [build_package(keyed, os.path.join(keyed, d)) for d in ("a", "b")]
    with tempfile.TemporaryDirectory() as extracted:
        run("msiextract", "-C", extracted, pair[0])
        packaged = [open(os.path.join(d, n), "rb").read() for d, _, names in os.walk(extracted) for n in names]
        check(open(os.path.join(bin_dir, "tollbury_keyed.exe"), "rb").read() in packaged and open(pair[0], "rb").read()
              == open(pair[1], "rb").read(), "a key-carrying tollbury.exe is packaged as built, and twice to the same bytes")
    for key in ("HUR=", "HURp=", "HURo", "HUQ==", "HU o=", "H.Ro="):  # the test key, its end changed
        refused = run("cmake", "-S", SOURCE, "-B", os.path.join(out_dir, "badkey"), "-DTOLLBURY_UPDATE_PUBLIC_KEY="
                      "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPc" + key, check_rc=False).stderr
        check("not the base64 text of a 32-byte Ed25519 public key" in " ".join(refused.split()), f"'{key}' is refused")


# --- End to end under Wine -------------------------------------------------

class Wine:
    def __init__(self, prefix):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=")
        for name in ("DISPLAY", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            self.env.pop(name, None)
        self.prefix = prefix
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            os.makedirs(prefix, exist_ok=True)
            run(WINE, "wineboot", "--init", env=self.env)
            run(WINESERVER, "-w", env=self.env)
        # A persistent server keeps each of the many short Wine runs fast.
        # Its helper processes must not hold the pipes of a test's commands.
        for command in ([WINESERVER, "-p"], [WINE, "cmd", "/c", "exit", "0"]):
            subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, *args):
        return run(WINE, *args, env=self.env, check_rc=False)

    def msiexec(self, *args):
        code = self.run("msiexec", *args, "/qn").returncode
        return code

    def values(self, key):
        """HKLM values of a key: {name: (type, data)}; {} if missing; not the empty default Wine's msi adds."""
        out = self.run("reg", "query", "HKLM\\" + key).stdout.replace("\r", "")
        values = {}
        for line in out.split("\n"):
            m = re.match(r"^    (\S+)    (REG_\w+)    ?(.*)$", line)
            if m and m.groups() != ("(Default)", "REG_SZ", ""):
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def stop(self):
        run(WINESERVER, "-k", env=self.env, check_rc=False)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def test_e2e(build_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for old in os.listdir(out_dir):
        if old.endswith(".msi"):
            os.remove(os.path.join(out_dir, old))
    current = build_package(build_dir, out_dir)
    version = [int(x) for x in re.search(r"tollbury-([\d.]+)\.msi$", current).group(1).split(".")]
    newer = build_package(build_dir, out_dir, "--version", f"{version[0]}.{version[1] + 1}.0")
    newer_code = dict(r[:2] for r in table(newer, "Property"))["ProductCode"]

    wine = Wine(os.path.join(out_dir, "prefix"))
    try:
        # A clean machine: no earlier run's product, settings or client tree.
        for msi in (newer, current):
            wine.msiexec("/x", windows_path(msi))
        wine.run("reg", "delete", r"HKLM\SOFTWARE\Verdanto", "/f")
        wine.run("reg", "delete", r"HKLM\SOFTWARE\Policies\Verdanto", "/f")
        client_root = wine.c("ProgramData", "Verdanto", "RudAvuvav")
        shutil.rmtree(client_root, ignore_errors=True)
        os.makedirs(os.path.join(client_root, "2.0.0"))
        shutil.copy(os.path.join(build_dir, "bin", "rudavuvav.exe"), os.path.join(client_root, "2.0.0"))
        for name in ("vrd-key.ppk", "vrd-upload-key.ppk"):
            with open(os.path.join(client_root, name), "w") as f:
                f.write("PuTTY-User-Key-File-2: ssh-rsa\n")
        install = wine.c("Program Files", "Verdanto", "Tollbury")
        received = os.path.join(client_root, "2.0.0", "received.txt")

        def start_client(argument):
            """The installed tollbury.exe under the capture tool: its exit code, its log, the client's arguments."""
            started = wine.run(os.path.join(install, "dbgcapture.exe"),
                               r"C:\Program Files\Verdanto\Tollbury\tollbury.exe", argument)
            for _ in range(50):
                if os.path.exists(received):
                    arguments = open(received, encoding="utf-8", errors="replace").read()
                    os.remove(received)
                    return started.returncode, started.stdout, arguments
                subprocess.run(["sleep", "0.1"])
            return started.returncode, started.stdout, ""

        # Install without properties: the Tollbury key and the session's key, both without settings; an
        # administrator's start (every start is one under Wine) looks for an update and starts the client.
        code = wine.msiexec("/i", windows_path(current))
        check(code == 0 and wine.run("reg", "query", r"HKLM\SOFTWARE\Verdanto\Client\sessions\vrd").returncode == 0
              and wine.values(r"SOFTWARE\Verdanto\Client\sessions\vrd") == {},
              f"install without properties makes the session's key vrd, without values (exit {code})")
        exit_code, log, arguments = start_client("-plain-install")
        check(exit_code == 0 and "-plain-install" in arguments
              and sorted(wine.values(r"SOFTWARE\Verdanto\Client\Tollbury")) == ["LastCheck", "Package"],
              f"after it, an administrator's start starts the client and writes LastCheck (exit {exit_code}):\n{log}")

        # Properties for the installed package: a repair; SERVERKEYPINS is not given, so nothing is written for it.
        code = wine.msiexec("/i", windows_path(current), "SERVER=keys.verdanto.example", "HOSTNAME=updates.example",
                            "SINGLEUSER=0", "UPGRADECHECK=0", "VERIFYSERVERCERTIFICATE=1", "REPORTTOEVENTLOG=1",
                            "REINSTALL=ALL", "REINSTALLMODE=vomus")
        check(code == 0, f"repair with properties (exit {code})")
        session = wine.values(r"SOFTWARE\Verdanto\Client\sessions\vrd")
        tollbury = wine.values(r"SOFTWARE\Verdanto\Client\Tollbury")
        expected_session = {"Server": ("REG_SZ", "keys.verdanto.example"), "HostName": ("REG_SZ", "updates.example"),
                            "SingleUser": ("REG_DWORD", "0x0"), "VerifyServerCertificate": ("REG_DWORD", "0x1")}
        check(session == expected_session, f"session values written with their types: {session}")
        check(tollbury.get("UpgradeCheck") == ("REG_SZ", "0"), f"UpgradeCheck written: {tollbury}")
        events = (wine.values(SETTINGS[-1][1]), wine.values(EVENT_SOURCE).get("EventMessageFile"))
        check(events == ({"ReportToEventLog": ("REG_DWORD", "0x1")}, ("REG_SZ", r"C:\Program Files\Verdanto\Tollbury"
                                                                     r"\tollbury.exe")), f"policy, source: {events}")
        check(sorted(os.listdir(install)) == ["THIRD-PARTY-NOTICES.txt", "dbgcapture.exe", "tollbury-check.exe",
                                              "tollbury.exe"],
              "program files installed")
        shortcuts = [os.path.join(d, n) for d, _, names in os.walk(wine.c()) for n in names if n == "Verdanto Client.lnk"]
        check(len(shortcuts) == 1, "Start-menu shortcut created")

        # The installed launcher against the client tree.
        exit_code, log, arguments = start_client("-from-msi-test")
        check(exit_code == 0 and "[tollbury] Launching rudavuvav.exe" in log,
              f"installed tollbury.exe exits 0 and starts the client (exit {exit_code})")
        check("-from-msi-test" in arguments, "the client received the arguments")

        # Upgrade without properties: every setting stays.
        code = wine.msiexec("/i", windows_path(newer))
        check(code == 0, f"upgrade to the newer version (exit {code})")
        uninstall = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall" + "\\"
        products = wine.run("reg", "query", r"HKLM\SOFTWARE\Classes\Installer\Products", "/s").stdout
        icons = re.findall(r"ProductIcon    REG_SZ    (.*\S)", products)
        icon = icons[0] if len(icons) == 1 else "C:"
        check("DisplayVersion" in wine.values(uninstall + newer_code) and newer_code in icon
              and os.path.isfile(wine.c(*icon[3:].split("\\"))),
              f"the newer version is registered, its icon (Add/Remove Programs) is {icon}")
        check(wine.values(r"SOFTWARE\Verdanto\Client\sessions\vrd") == expected_session
              and wine.values(r"SOFTWARE\Verdanto\Client\Tollbury").get("UpgradeCheck") == ("REG_SZ", "0"),
              "the upgrade kept every setting")

        # Downgrade: refused, the newer version stays. Wine cuts 1603 to 8 bits.
        code = wine.msiexec("/i", windows_path(current))
        check(code in (1603, 1603 & 0xFF), f"a downgrade is refused (exit {code})")
        check("DisplayVersion" in wine.values(uninstall + newer_code) and os.path.exists(os.path.join(install, "tollbury.exe")),
              "the newer version is still installed")

        # Uninstall: files, shortcut and written values go; key files, LastCheck, client tree stay.
        code = wine.msiexec("/x", windows_path(newer))
        check(code == 0, f"uninstall (exit {code})")
        check(not os.path.exists(os.path.join(install, "tollbury.exe")), "program files removed")
        check(not any(os.path.exists(s) for s in shortcuts), "shortcut removed")
        check(wine.values(SETTINGS[-1][1]) == {} and wine.run("reg", "query", "HKLM\\" + EVENT_SOURCE).returncode != 0,
              "the policy value and the event source's key removed")
        check(wine.run("reg", "query", r"HKLM\SOFTWARE\Verdanto\Client\sessions\vrd").returncode != 0,
              "the session values written are removed, and the key with them, which holds nothing else")
        check(sorted(wine.values(r"SOFTWARE\Verdanto\Client\Tollbury")) == ["LastCheck", "Package"],
              "UpgradeCheck removed, LastCheck and the key's own key path kept")
        check(all(os.path.exists(os.path.join(client_root, n)) for n in ("vrd-key.ppk", "vrd-upload-key.ppk")),
              "key files kept")
        check(os.path.exists(os.path.join(client_root, "2.0.0", "rudavuvav.exe")), "client tree kept")

        # Another session: an uninstall (given no SESSION) removes its values too. Group Policy's
        # ReportToEventLog, set before, is not the package's to remove.
        wine.run("reg", "add", "HKLM\\" + SETTINGS[-1][1], "/v", "ReportToEventLog", "/t", "REG_DWORD", "/d", "1", "/f")
        code = wine.msiexec("/i", windows_path(current), "SESSION=second", "SERVER=keys.second.example")
        check(code == 0 and wine.values(r"SOFTWARE\Verdanto\Client\sessions\second") ==
              {"Server": ("REG_SZ", "keys.second.example")}, f"install for another session (exit {code})")
        wine.run("reg", "add", r"HKLM\SOFTWARE\Verdanto\Client\sessions\second", "/v", "Other", "/d", "x", "/f")
        code = wine.msiexec("/x", windows_path(current))
        check(code == 0 and wine.values(r"SOFTWARE\Verdanto\Client\sessions\second") == {"Other": ("REG_SZ", "x")},
              f"its uninstall removes that session's values, and keeps the key with a value of another's (exit {code})")
        check(wine.values(SETTINGS[-1][1]) == {"ReportToEventLog": ("REG_DWORD", "0x1")},
              "the policy value Group Policy wrote survives the install and the uninstall")
    finally:
        wine.stop()


# --- Signing ---------------------------------------------------------------

def test_sign(build_dir, out_dir):
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    def at(name):
        return os.path.join(out_dir, name)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", at("key.pem"), "-out", at("cert.pem"),
        "-days", "2", "-subj", "/CN=Tollbury Test Code Signing", "-addext", "extendedKeyUsage=codeSigning",
        "-addext", "keyUsage=digitalSignature")
    run("openssl", "pkcs12", "-export", "-inkey", at("key.pem"), "-in", at("cert.pem"), "-out", at("cert.p12"),
        "-passout", "pass:throwaway")
    pkcs12 = dict(os.environ, TOLLBURY_SIGN_PKCS12=at("cert.p12"), TOLLBURY_SIGN_PASSWORD="throwaway")
    pem = dict(os.environ, TOLLBURY_SIGN_CERT=at("cert.pem"), TOLLBURY_SIGN_KEY=at("key.pem"))
    sign = os.path.join(SOURCE, "scripts", "sign.sh")
    for name in ("tollbury.exe", "dbgcapture.exe"):
        shutil.copy(os.path.join(build_dir, "bin", name), at(name))
    run(sign, at("tollbury.exe"), env=pkcs12)
    run(sign, at("dbgcapture.exe"), env=pem)
    msi = run(PACKAGE, "--build-dir", build_dir, "--no-build", "--out-dir", at("msi"), "--sign", env=pkcs12).stdout.split()[-1]

    def verifies(path):
        return run("osslsigncode", "verify", "-CAfile", at("cert.pem"), "-in", path, check_rc=False).returncode == 0
    check(verifies(at("tollbury.exe")), "tollbury.exe signed from a PKCS#12 file verifies")
    check(verifies(at("dbgcapture.exe")), "dbgcapture.exe signed from a PEM pair verifies")
    check(verifies(msi), "the signed package verifies")
    with tempfile.TemporaryDirectory() as extracted:
        run("msiextract", "-C", extracted, msi)
        inside = [os.path.join(d, n) for d, _, names in os.walk(extracted) for n in names
                  if n in ("tollbury.exe", "tollbury-check.exe")]
        check(len(inside) == 2 and all(verifies(p) for p in inside),
              "the package holds a signed tollbury.exe and tollbury-check.exe")
    for path in (at("tollbury.exe"), msi):
        data = bytearray(open(path, "rb").read())
        data[len(data) // 3] ^= 0x01
        changed = at("changed-" + os.path.basename(path))
        open(changed, "wb").write(data)
        check(not verifies(changed), f"{os.path.basename(path)} changed by one byte is rejected")

    # A session of its own, which no test configures: no key check, no update check.
    started = run(WINE, at("dbgcapture.exe"), at("tollbury.exe"), "-no_upgrade", "-load", "signature-test",
                  check_rc=False)
    check(started.returncode == 0 and "[tollbury] " in started.stdout,
          f"the signed tollbury.exe starts under Wine and logs (exit {started.returncode})")


# --- Group Policy templates ------------------------------------------------

GP = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"


def c_string(literal):
    return literal.encode().decode("unicode_escape")


def function_bodies(text):
    """Top-level function bodies of a C++ file: from a line that opens a
    brace at column 0 (or ends a signature with "{") to the "}" at column 0."""
    bodies, current = [], None
    for line in text.split("\n"):
        if current is None:
            if line and not line[0].isspace() and line.rstrip().endswith("{") and "(" in line \
                    and not line.startswith(("namespace", "struct", "class", "enum")):
                current = [line]
        else:
            current.append(line)
            if line.startswith("}"):
                bodies.append("\n".join(current))
                current = None
    return bodies


def program_reads():
    """{(key, value name): type} for every registry value the program reads,
    found in its sources: values read with ReadRegistryString are REG_SZ and
    those read with ReadRegistryDword REG_DWORD (each refuses other types),
    values read with RegQueryValueExW take the type their function compares
    with; a value read through a handle named
    sessionKey lives under the session's key (the default session's, for the
    templates), one read in a function that opens TollburyKeyPath under that
    key."""
    def read(*parts):
        return open(os.path.join(SOURCE, *parts), encoding="utf-8").read()
    limits = read("sys", "limits.h")
    sessions_prefix = c_string(re.search(r'SessionsKeyPrefix\[\] = L"(.*?)";', limits).group(1))
    tollbury_key = c_string(re.search(r'TollburyKeyPath\[\] = L"(.*?)";', limits).group(1))
    policy_key = c_string(re.search(r'TollburyPolicyKeyPath\[\] = L"(.*?)";', limits).group(1))
    default_session = re.search(r'sessionName\[SessionNameSize\] = L"(.*?)";', read("launcher", "main.cpp")).group(1)
    check(re.search(r"if \(type != REG_SZ\) return DISP_E_TYPEMISMATCH", read("sys", "registry.cpp")) is not None,
          "ReadRegistryString reads REG_SZ values only")
    check(re.search(r"if \(type != REG_DWORD \|\|", read("sys", "registry.cpp")) is not None,
          "ReadRegistryDword reads REG_DWORD values only")
    reads = {}
    for folder in ("launcher", "keys", "net", "sys"):
        for name in sorted(os.listdir(os.path.join(SOURCE, folder))):
            if not name.endswith(".cpp"):
                continue
            for body in function_bodies(read(folder, name)):
                for m in re.finditer(r'\b(ReadRegistryString|ReadRegistryDword|RegQueryValueExW)\(\s*([\w.]+),\s*L"(\w+)"',
                                     body):
                    function, handle, value = m.groups()
                    if function == "ReadRegistryString":
                        kind = "REG_SZ"
                    elif function == "ReadRegistryDword":
                        kind = "REG_DWORD"
                    else:
                        kinds = set(re.findall(r"type == (REG_\w+)", body))
                        kind = kinds.pop() if len(kinds) == 1 else None
                    if handle == "sessionKey":
                        key = sessions_prefix + default_session
                    elif "TollburyKeyPath" in body:
                        key = tollbury_key
                    elif "TollburyPolicyKeyPath" in body:
                        key = policy_key
                    else:
                        continue
                    reads[(key, value)] = kind
    sizes = dict((n, int(v)) for n, v in re.findall(r"constexpr int (\w+) = (\d+);", limits))
    limits_found = {
        "session name": sizes["SessionKeyPathSize"] - 1 - len(sessions_prefix),
        "host name bytes": int(re.search(r"MaxHostNameBytes = (\d+);", read("launcher", "session_settings.cpp")).group(1)),
    }
    return reads, limits_found, default_session


def policy_writes(policy):
    """(value name, type) pairs a policy writes."""
    def kind_of(value_holder):
        if value_holder.find(GP + "decimal") is not None:
            return "REG_DWORD"
        if value_holder.find(GP + "string") is not None:
            return "REG_SZ"
        return None
    writes = []
    for holder in ("enabledValue", "disabledValue"):
        node = policy.find(GP + holder)
        if node is not None:
            writes.append((policy.get("valueName"), kind_of(node)))
    elements = policy.find(GP + "elements")
    for element in (elements if elements is not None else []):
        tag = element.tag[len(GP):]
        if tag == "text":
            kind = "REG_EXPAND_SZ" if element.get("expandable") == "true" else "REG_SZ"
        elif tag in ("decimal", "boolean"):
            kind = "REG_DWORD"
        else:
            kind = tag
        writes.append((element.get("valueName"), kind))
    return writes


def test_admx():
    import xml.etree.ElementTree as ET
    policy_dir = os.path.join(SOURCE, "packaging", "policy")
    admx_path = os.path.join(policy_dir, "tollbury.admx")
    adml_path = os.path.join(policy_dir, "en-US", "tollbury.adml")
    lint = run("xmllint", "--noout", admx_path, adml_path, check_rc=False)
    check(lint.returncode == 0, "both templates are well-formed XML " + lint.stderr.strip())
    admx, adml = ET.parse(admx_path).getroot(), ET.parse(adml_path).getroot()

    strings = {s.get("id"): s.text or "" for s in adml.iter(GP + "string")}
    presentations = {p.get("id"): p for p in adml.iter(GP + "presentation")}
    admx_text = open(admx_path, encoding="utf-8").read()
    used_strings = set(re.findall(r"\$\(string\.(\w+)\)", admx_text))
    used_presentations = set(re.findall(r"\$\(presentation\.(\w+)\)", admx_text))
    check(used_strings <= set(strings), f"every string reference resolves (missing: {sorted(used_strings - set(strings))})")
    check(set(strings) <= used_strings, f"every string is used (unused: {sorted(set(strings) - used_strings)})")
    check(used_presentations == set(presentations),
          f"presentation references and presentations match ({sorted(used_presentations ^ set(presentations))})")
    categories = {c.get("name") for c in admx.iter(GP + "category")}
    supported = {d.get("name") for d in admx.iter(GP + "definition")}
    check(all(r.get("ref") in categories for r in admx.iter(GP + "parentCategory")), "every parent category resolves")
    check(all(r.get("ref") in supported for r in admx.iter(GP + "supportedOn") if r.get("ref")),
          "every supportedOn reference resolves")

    reads, limits, default_session = program_reads()
    names = {value for _, value in reads}
    for expected in ("UpgradeCheck", "SingleUser", "Server", "HostName", "ServerKeyPins", "VerifyServerCertificate"):
        check(expected in names, f"the program's sources read {expected}"
              + ("" if expected in names else " -- not found in launcher/, keys/, net/ or sys/"))
    for policy in admx.iter(GP + "policy"):
        name, key = policy.get("name"), policy.get("key")
        check(policy.get("class") == "Machine", f"policy {name} is a machine policy (the program reads HKLM)")
        for value, kind in policy_writes(policy):
            known = reads.get((key, value), "not read")
            check(known == kind, f"policy {name} writes {key}\\{value} as {kind}; the program reads it as {known}")
        presentation = presentations.get((policy.get("presentation") or "").replace("$(presentation.", "").rstrip(")"))
        elements = policy.find(GP + "elements")
        ids = {e.get("id") for e in (elements if elements is not None else [])}
        refs = {c.get("refId") for c in presentation} if presentation is not None else set()
        check(ids == refs, f"policy {name}: every element has its presentation control ({sorted(ids ^ refs)})")
        if name == "HostName":
            text = elements.find(GP + "text")
            check(int(text.get("maxLength")) == limits["host name bytes"],
                  f"HostName is limited to {limits['host name bytes']} characters")
    explains = " ".join(strings.values())
    check(f"at most {limits['host name bytes']} bytes" in strings.get("HostName_Explain", ""),
          f"the HostName explanation states the {limits['host name bytes']}-byte limit")
    check(f"at most {limits['session name']} characters" in explains,
          f"an explanation states the {limits['session name']}-character session name limit")
    check(all(f"sessions\\{default_session}" in p.get("key") for p in admx.iter(GP + "policy")
              if "sessions" in p.get("key")), f"session policies are for the default session {default_session}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    command, args = sys.argv[1], [os.path.abspath(a) if i < 2 else a for i, a in enumerate(sys.argv[2:])]
    if command == "tables":
        test_tables(args[0], args[1], args[2] if len(args) > 2 else "")
    elif command == "e2e":
        test_e2e(args[0], args[1])
    elif command == "sign":
        test_sign(args[0], args[1])
    elif command == "admx":
        test_admx()
    else:
        sys.exit(__doc__)
    if failures:
        print(f"{len(failures)} check(s) failed")
        sys.exit(1)


if __name__ == "__main__":
    main()
