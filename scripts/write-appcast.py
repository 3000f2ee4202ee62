#!/usr/bin/env python3
"""Writes the client's update feed, client/appcast.xml, with one release added.

  write-appcast.py --installer FILE --version VERSION --url URL (--output FOLDER | --feed FILE)
                   [--key KEY.pem] [--installer-arguments "ARG ..."] [--release-notes URL] [--replace]

--installer    the client's installer, an .msi or an .exe; its size goes into the feed
--version      the client version it installs: the name of the version folder it creates, dotted numbers
--url          where clients download it: https, its name ending like the installer's
--output       writes FOLDER/client/appcast.xml; --feed writes FILE itself
--key          signs the installer with this Ed25519 key (scripts/update-key.py)
--installer-arguments
               handed to the installer by a build without a public key, at most /passive /qn /quiet
               /norestart; a build with one starts the installer with arguments of its own
--release-notes
               https page the update dialog shows
--replace      replaces the feed's item of the same version; without it such an item is refused

An existing feed keeps its items; the new one takes its place among them, newest version first, since
the update framework offers the first item for 64-bit Windows it finds. The feed is replaced in one step.
"""
import argparse
import email.utils
import importlib.util
import os
import re
import sys
import tempfile
import urllib.parse
import xml.etree.ElementTree as ET

SPARKLE = "http://www.andymatuschak.org/xml-namespaces/sparkle"
INSTALLER_TYPES = {".msi": "application/x-msi", ".exe": "application/octet-stream"}
INSTALLER_ARGUMENTS = ("/passive", "/qn", "/quiet", "/norestart")
VERSION = re.compile(r"\d+(\.\d+)*")


def sparkle(name):
    return f"{{{SPARKLE}}}{name}"


class FeedProblem(Exception):
    """A problem the user must mend; its text is the whole message."""


def https_url(url, what):
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "https" or not parts.hostname or re.search(r"\s", url):
        raise FeedProblem(f"{what} must be an https URL: {url!r}")
    return parts


def checked_arguments(text):
    arguments = text.split()
    refused = [a for a in arguments if a not in INSTALLER_ARGUMENTS]
    if refused:
        raise FeedProblem(f"installer arguments {' '.join(refused)} refused; only {' '.join(INSTALLER_ARGUMENTS)}")
    return " ".join(arguments)


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def item_version(item):
    """The version the framework reads: the item's sparkle:version, else its enclosure's."""
    element = item.find(sparkle("version"))
    if element is not None and element.text:
        return element.text.strip()
    enclosure = item.find("enclosure")
    return enclosure.get(sparkle("version"), "") if enclosure is not None else ""


def signature_of(key_path, installer):
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "update-key.py")
    spec = importlib.util.spec_from_file_location("update_key", path)
    update_key = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(update_key)
    try:
        print(f"Signed with the key whose public key is {update_key.public_key(key_path)}")
        return update_key.sign_file(key_path, installer)
    except update_key.KeyProblem as e:
        raise FeedProblem(str(e))


def new_item(args):
    if not VERSION.fullmatch(args.version):
        raise FeedProblem(f"the version must be dotted numbers, as the client's version folder is named: "
                          f"{args.version!r}")
    extension = os.path.splitext(args.installer)[1].lower()
    if extension not in INSTALLER_TYPES:
        raise FeedProblem(f"the installer must be an .msi or an .exe: {args.installer}")
    if not os.path.isfile(args.installer):
        raise FeedProblem(f"{args.installer} is not a file")
    # The downloaded file is named after the URL's last segment, and a build with a public key starts it by
    # that name's extension.
    url_path = https_url(args.url, "the download URL").path
    if os.path.splitext(url_path)[1].lower() != extension:
        raise FeedProblem(f"the download URL's name must end in {extension} like the installer's: {args.url}")
    item = ET.Element("item")
    ET.SubElement(item, "title").text = f"Verdanto Client {args.version}"
    ET.SubElement(item, "pubDate").text = email.utils.formatdate(usegmt=True)
    ET.SubElement(item, sparkle("version")).text = args.version
    if args.release_notes:
        https_url(args.release_notes, "the release notes")
        ET.SubElement(item, sparkle("releaseNotesLink")).text = args.release_notes
    enclosure = ET.SubElement(item, "enclosure", {
        "url": args.url, "length": str(os.path.getsize(args.installer)), "type": INSTALLER_TYPES[extension],
        sparkle("os"): "windows-x64"})
    if args.key:
        enclosure.set(sparkle("edSignature"), signature_of(args.key, args.installer))
    if args.installer_arguments:
        enclosure.set(sparkle("installerArguments"), checked_arguments(args.installer_arguments))
    return item


def read_feed(path, download_url):
    if not os.path.exists(path):
        rss = ET.Element("rss", {"version": "2.0"})
        channel = ET.SubElement(rss, "channel")
        ET.SubElement(channel, "title").text = "Verdanto Client"
        parts = urllib.parse.urlsplit(download_url)
        ET.SubElement(channel, "link").text = f"https://{parts.netloc}/"
        ET.SubElement(channel, "description").text = "Releases of the Verdanto Client"
        return ET.ElementTree(rss)
    try:
        tree = ET.parse(path, ET.XMLParser(target=ET.TreeBuilder(insert_comments=True)))
    except ET.ParseError as e:
        raise FeedProblem(f"{path} is not XML ({e}); move it aside to start a new feed")
    if tree.getroot().tag != "rss" or tree.getroot().find("channel") is None:
        raise FeedProblem(f"{path} is not an RSS feed with a channel")
    return tree


def add_item(channel, item, version, replace):
    for old in channel.findall("item"):
        old_version = item_version(old)
        if not VERSION.fullmatch(old_version):
            raise FeedProblem(f"the feed has an item whose version cannot be ordered: {old_version!r}")
        if version_key(old_version) == version_key(version):
            if not replace:
                raise FeedProblem(f"the feed already has version {old_version}; give --replace to replace it")
            channel.remove(old)
    children = list(channel)
    items = [c for c in children if c.tag == "item"]
    older = [c for c in items if version_key(item_version(c)) < version_key(version)]
    if items and items[0] not in older:
        print(f"Note: the feed's newest version stays {item_version(items[0])}, the one starts are offered")
    position = children.index(older[0]) if older else children.index(items[-1]) + 1 if items else len(children)
    channel.insert(position, item)


def write_feed(tree, path):
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    ET.indent(tree)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".appcast-")
    try:
        with os.fdopen(fd, "wb") as f:
            tree.write(f, encoding="utf-8", xml_declaration=True)
            f.write(b"\n")
        # Served to every client: the old feed's mode, else readable by all (mkstemp made it private).
        os.chmod(temporary, os.stat(path).st_mode & 0o777 if os.path.exists(path) else 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--installer", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--url", required=True)
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("--output")
    target.add_argument("--feed")
    parser.add_argument("--key")
    parser.add_argument("--installer-arguments")
    parser.add_argument("--release-notes")
    parser.add_argument("--replace", action="store_true")
    args = parser.parse_args(argv[1:])
    path = args.feed or os.path.join(args.output, "client", "appcast.xml")
    ET.register_namespace("sparkle", SPARKLE)
    try:
        item = new_item(args)
        tree = read_feed(path, args.url)
        add_item(tree.getroot().find("channel"), item, args.version, args.replace)
        write_feed(tree, path)
    except FeedProblem as e:
        sys.stderr.write(f"write-appcast.py: {e}\n")
        return 2
    print(f"Wrote {path}: version {args.version}, {'signed' if args.key else 'not signed'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
