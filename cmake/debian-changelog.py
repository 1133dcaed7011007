#!/usr/bin/python3
"""Writes the package's Debian changelog from the releases of the AppStream metainfo.

The metainfo's <releases> is where a release is written down (version, date, what changed);
the changelog that dpkg and lintian read is made from it, so the two never disagree. Every
<p> and <li> of a release's description becomes one entry. The newest release must be the
version being packaged.

Usage: debian-changelog.py METAINFO PACKAGE VERSION MAINTAINER OUTPUT
"""

import datetime
import email.utils
import sys
import textwrap
import xml.etree.ElementTree as ET


def entries(release):
    description = release.find("description")
    if description is None:
        return ["New release."]
    out = []
    for element in description.iter():
        if element.tag in ("p", "li") and element.get("{http://www.w3.org/XML/1998/namespace}lang") is None:
            text = " ".join("".join(element.itertext()).split())
            if text:
                out.append(text)
    return out or ["New release."]


def main():
    if len(sys.argv) != 6:
        sys.stderr.write(__doc__)
        return 2
    metainfo, package, version, maintainer, output = sys.argv[1:]
    releases = ET.parse(metainfo).getroot().findall("releases/release")
    if not releases:
        sys.stderr.write("%s: no releases\n" % metainfo)
        return 1
    if releases[0].get("version") != version:
        sys.stderr.write("%s: the newest release is %s, but the version built is %s\n" %
                         (metainfo, releases[0].get("version"), version))
        return 1
    blocks = []
    for release in releases:
        date = datetime.datetime.strptime(release.get("date"), "%Y-%m-%d")
        stamp = email.utils.format_datetime(
            date.replace(hour=12, tzinfo=datetime.timezone.utc))
        lines = ["%s (%s) stable; urgency=medium" % (package, release.get("version")), ""]
        for entry in entries(release):
            lines += textwrap.wrap(entry, width=78, initial_indent="  * ",
                                   subsequent_indent="    ")
        lines += ["", " -- %s  %s" % (maintainer, stamp)]
        blocks.append("\n".join(lines) + "\n")
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(blocks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
