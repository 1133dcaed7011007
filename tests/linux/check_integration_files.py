#!/usr/bin/python3
"""Checks the files that make the utility a Linux desktop program (resources/linux/).

- the desktop entry with desktop-file-validate, the AppStream metainfo with
  appstreamcli validate --no-net, and that both name the same program, desktop id and icon;
- the metainfo's store listing: homepage, project licence, developer, screenshots (each picture
  one of docs/, the default one in English with a Russian variant) and releases (the newest is
  the version being built, each with a date and a description, newest first);
- the icon: a well-formed square SVG;
- the udev rule: every line parses as udev rule syntax (keys, operators, quoting, labels),
  the file sorts before 73-seat-late.rules, and a small evaluator of udev's matching shows
  that it tags exactly the Vexilora's tty: the tty of USB ffff:0005 with serial VEXILORA gets
  TAG "uaccess" and ID_MM_DEVICE_IGNORE=1; other devices, other serials, the USB device and
  its interface themselves, and removals get nothing. (Debian 12's udevadm has no "verify".)

Usage: check_integration_files.py RESOURCES_LINUX_DIR [VERSION]
"""

import fnmatch
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
    return condition


def run_validator(argv):
    result = subprocess.run(argv, capture_output=True, text=True)
    output = (result.stdout + result.stderr).strip()
    check(result.returncode == 0, "%s failed:\n%s" % (" ".join(argv), output))
    return output


# ---- desktop entry, metainfo, icon ----

def read_desktop_entry(path):
    entry = {}
    group = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                entry[key] = value
    return entry


XML_LANG = "{http://www.w3.org/XML/1998/namespace}lang"


def check_listing(root, folder, version):
    docs = os.path.normpath(os.path.join(folder, "..", "..", "docs"))
    homepage = root.findtext("url[@type='homepage']") or ""
    check(homepage.startswith("https://"), "metainfo: no https homepage url (%r)" % homepage)
    check((root.findtext("project_license") or "").strip() != "", "metainfo: no project_license")
    developer = root.findtext("developer_name") or root.findtext("developer/name") or ""
    check(developer.strip() != "", "metainfo: no developer")

    screenshots = root.findall("screenshots/screenshot")
    if check(screenshots, "metainfo: no screenshots"):
        defaults = [s for s in screenshots if s.get("type") == "default"]
        check(len(defaults) == 1, "metainfo: %d default screenshots" % len(defaults))
        for shot in screenshots:
            check(shot.findtext("caption"), "metainfo: a screenshot without a caption")
            images = shot.findall("image")
            langs = sorted(i.get(XML_LANG, "") for i in images)
            check(langs == ["", "ru"],
                  "metainfo: a screenshot's pictures are for %s, not English and Russian" % langs)
            for image in images:
                url = (image.text or "").strip()
                check(url.startswith(homepage) and url.startswith("https://"),
                      "metainfo: screenshot %s is not under the homepage" % url)
                name = url.rsplit("/", 1)[-1]
                check(os.path.isfile(os.path.join(docs, name)),
                      "metainfo: screenshot %s is not one of docs/" % name)

    releases = root.findall("releases/release")
    if check(releases, "metainfo: no releases"):
        if version:
            check(releases[0].get("version") == version,
                  "metainfo: the newest release is %s, the version built %s" %
                  (releases[0].get("version"), version))
        dates = [r.get("date") or "" for r in releases]
        check(all(re.fullmatch(r"\d{4}-\d{2}-\d{2}", d) for d in dates),
              "metainfo: release dates %s" % dates)
        check(dates == sorted(dates, reverse=True), "metainfo: releases not newest first")
        for release in releases:
            check(release.find("description") is not None,
                  "metainfo: release %s has no description" % release.get("version"))


def check_desktop_files(folder, version=None):
    desktop = os.path.join(folder, "vexilora-update.desktop")
    metainfos = [n for n in os.listdir(folder) if n.endswith(".metainfo.xml")]
    icon = os.path.join(folder, "vexilora-update.svg")
    if not check(os.path.isfile(desktop), "vexilora-update.desktop is missing"):
        return
    if not check(len(metainfos) == 1, "expected one metainfo file, found %s" % metainfos):
        return
    metainfo = os.path.join(folder, metainfos[0])

    run_validator(["desktop-file-validate", desktop])
    run_validator(["appstreamcli", "validate", "--no-net", metainfo])

    entry = read_desktop_entry(desktop)
    check(entry.get("Type") == "Application", "desktop entry: Type is not Application")
    check("Utility" in entry.get("Categories", "").split(";"),
          "desktop entry: not in the Utility category")
    check(entry.get("Exec", "").split()[0] == "vexilora-update",
          "desktop entry: Exec does not start vexilora-update")
    check(entry.get("Icon") == "vexilora-update", "desktop entry: Icon is not vexilora-update")

    root = ET.parse(metainfo).getroot()
    check_listing(root, folder, version)
    component_id = root.findtext("id")
    check(metainfos[0] == component_id + ".metainfo.xml",
          "metainfo file name %s does not follow its id %s" % (metainfos[0], component_id))
    check(root.get("type") == "desktop-application", "metainfo: not a desktop-application")
    launchables = [l.text for l in root.findall("launchable[@type='desktop-id']")]
    check(launchables == ["vexilora-update.desktop"],
          "metainfo: launchable is %s, not vexilora-update.desktop" % launchables)
    binaries = [b.text for b in root.findall("provides/binary")]
    check(binaries == ["vexilora-update"], "metainfo: provides binary %s" % binaries)
    modaliases = [m.text for m in root.findall("provides/modalias")]
    check(any(fnmatch.fnmatchcase("usb:vFFFFp0005d0100dc02dsc00dp00ic02isc02ip01in00", m)
              for m in modaliases),
          "metainfo: no modalias matches the Vexilora (%s)" % modaliases)

    if check(os.path.isfile(icon), "vexilora-update.svg is missing"):
        svg = ET.parse(icon).getroot()
        check(svg.tag == "{http://www.w3.org/2000/svg}svg", "icon: root is not an SVG element")
        box = svg.get("viewBox", "").split()
        check(len(box) == 4 and box[2] == box[3], "icon: viewBox %s is not square" % box)


# ---- udev rule ----

MATCH_ONLY = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "SUBSYSTEM", "SUBSYSTEMS", "DRIVER",
              "DRIVERS", "ATTRS", "TAGS", "TEST", "PROGRAM", "RESULT", "DEVTYPE"}
MATCH_OR_ASSIGN = {"ATTR", "SYSCTL", "ENV", "TAG", "NAME", "SYMLINK", "OWNER", "GROUP", "MODE",
                   "SECLABEL", "RUN", "IMPORT", "OPTIONS", "CONST"}
ASSIGN_ONLY = {"LABEL", "GOTO", "WAIT_FOR"}
WITH_ATTRIBUTE = {"ATTR", "ATTRS", "SYSCTL", "ENV", "TEST", "RUN", "IMPORT", "SECLABEL", "CONST"}
PARENT_KEYS = {"KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS"}

TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*')


def parse_rules(path):
    """Returns the rules as lists of (key, attribute, operator, value); records syntax faults."""
    rules = []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        check(not line.endswith("\\"), "line %d: continued lines are not used here" % number)
        rule = []
        at = 0
        while at < len(line):
            m = TOKEN.match(line, at)
            if not check(m is not None, "line %d: cannot parse at '%s'" % (number, line[at:])):
                break
            key, attribute, operator, value = m.groups()
            known = key in MATCH_ONLY | MATCH_OR_ASSIGN | ASSIGN_ONLY
            check(known, "line %d: unknown key %s" % (number, key))
            check((attribute is not None) == (key in WITH_ATTRIBUTE),
                  "line %d: key %s %s an {attribute}" %
                  (number, key, "lacks" if attribute is None else "takes no"))
            if operator in ("==", "!="):
                check(key not in ASSIGN_ONLY, "line %d: %s cannot be matched" % (number, key))
            else:
                check(key not in MATCH_ONLY, "line %d: %s cannot be assigned" % (number, key))
            rule.append((key, attribute, operator, value))
            at = m.end()
            if at < len(line):
                if not check(line[at] == ",", "line %d: expected ',' at '%s'" % (number, line[at:])):
                    break
                at += 1
        rules.append((number, rule))
    labels = {v for _, rule in rules for k, _, _, v in rule if k == "LABEL"}
    for number, rule in rules:
        for key, _, _, value in rule:
            if key == "GOTO":
                check(value in labels, "line %d: GOTO to a missing label %s" % (number, value))
    return rules


def value_matches(pattern, actual):
    if actual is None:
        return False
    return any(fnmatch.fnmatchcase(actual, p) for p in pattern.split("|"))


def key_matches(key, attribute, device):
    """Whether the key's value matches on this one device record."""
    if key in ("KERNEL", "KERNELS"):
        return device["kernel"]
    if key in ("SUBSYSTEM", "SUBSYSTEMS"):
        return device["subsystem"]
    if key in ("DRIVER", "DRIVERS"):
        return device.get("driver")
    if key in ("ATTR", "ATTRS"):
        return device["attrs"].get(attribute)
    if key == "DEVTYPE":
        return device.get("devtype")
    raise ValueError(key)


def evaluate(rules, action, chain):
    """Runs the rules for an event on chain[0] (its parents follow); returns tags and env."""
    device = chain[0]
    tags, env = set(), {}
    goto = None
    for number, rule in rules:
        if goto is not None:
            if any(k == "LABEL" and v == goto for k, _, _, v in rule):
                goto = None
            else:
                continue
        matched = True
        parent_tests = []
        for key, attribute, operator, value in rule:
            if operator not in ("==", "!="):
                continue
            if key in PARENT_KEYS:
                parent_tests.append((key, attribute, operator, value))
                continue
            if key == "ACTION":
                actual = action
            elif key == "ENV":
                actual = env.get(attribute, device.get("env", {}).get(attribute))
            elif key == "TAG":
                actual = None
            else:
                actual = key_matches(key, attribute, device)
            if value_matches(value, actual) != (operator == "=="):
                matched = False
        if matched and parent_tests:
            # Like udev: all parent keys must match on one device of the chain.
            matched = any(all(value_matches(v, key_matches(k, a, d)) == (o == "==")
                              for k, a, o, v in parent_tests) for d in chain)
        if not matched:
            continue
        for key, attribute, operator, value in rule:
            if operator in ("==", "!="):
                continue
            if key == "TAG":
                if operator == "-=":
                    tags.discard(value)
                else:
                    tags.add(value)
            elif key == "ENV":
                env[attribute] = value
            elif key == "GOTO":
                goto = value
    return tags, env


def vexilora(vendor="ffff", product="0005", serial="VEXILORA"):
    usb_attrs = {"idVendor": vendor, "idProduct": product, "product": "Vexilora",
                 "manufacturer": "Vexilora"}
    if serial is not None:
        usb_attrs["serial"] = serial
    tty = {"kernel": "ttyACM0", "subsystem": "tty", "attrs": {"dev": "166:0"}}
    interface = {"kernel": "1-1.2:1.0", "subsystem": "usb", "devtype": "usb_interface",
                 "driver": "cdc_acm", "attrs": {"bInterfaceClass": "02", "bInterfaceNumber": "00"}}
    usb = {"kernel": "1-1.2", "subsystem": "usb", "devtype": "usb_device", "driver": "usb",
           "attrs": usb_attrs}
    hub = {"kernel": "1-1", "subsystem": "usb", "devtype": "usb_device", "driver": "usb",
           "attrs": {"idVendor": "1d6b", "idProduct": "0002"}}
    return [tty, interface, usb, hub]


def check_udev_rule(folder):
    path = os.path.join(folder, "70-vexilora.rules")
    if not check(os.path.isfile(path), "70-vexilora.rules is missing"):
        return
    check(sorted(["70-vexilora.rules", "73-seat-late.rules"])[0] == "70-vexilora.rules",
          "the rule does not sort before 73-seat-late.rules")
    rules = parse_rules(path)
    if FAILURES:
        return
    wanted = ({"uaccess"}, {"ID_MM_DEVICE_IGNORE": "1"})
    nothing = (set(), {})
    chain = vexilora()
    cases = [
        ("the Vexilora's tty, add", "add", chain, wanted),
        ("the Vexilora's tty, change", "change", chain, wanted),
        ("the Vexilora's tty, bind", "bind", chain, wanted),
        ("the Vexilora's tty, remove", "remove", chain, nothing),
        ("another vendor", "add", vexilora(vendor="fffe"), nothing),
        ("another product", "add", vexilora(product="0006"), nothing),
        ("another serial", "add", vexilora(serial="VEXILORA2"), nothing),
        ("a serial that only begins alike", "add", vexilora(serial="VEXILOR"), nothing),
        ("no serial", "add", vexilora(serial=None), nothing),
        ("the USB interface itself", "add", chain[1:], nothing),
        ("the USB device itself", "add", chain[2:], nothing),
        ("a plain serial port", "add",
         [{"kernel": "ttyS0", "subsystem": "tty", "attrs": {}}], nothing),
    ]
    # The ids split over two devices of the chain do not make a Vexilora.
    split = vexilora()
    split[1]["attrs"]["serial"] = "VEXILORA"
    del split[2]["attrs"]["serial"]
    cases.append(("serial on another device than the ids", "add", split, nothing))
    for name, action, devices, expected in cases:
        got = evaluate(rules, action, devices)
        check(got == expected, "udev rule, %s: got tags %s env %s, want %s" %
              (name, sorted(got[0]), got[1], expected))


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    folder = sys.argv[1]
    check_desktop_files(folder, sys.argv[2] if len(sys.argv) == 3 else None)
    check_udev_rule(folder)
    for failure in FAILURES:
        print("FAIL:", failure)
    if not FAILURES:
        print("desktop entry, metainfo, icon and udev rule: all checks passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
