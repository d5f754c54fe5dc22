"""What the installer and its servers agree on, in one place: the paths it
asks for, the files it downloads, what its reports to the logger carry and
the site cookie it reads the visitor's id from. The endpoint server, funnel,
deploy-check, publish and the benches all take these from here, so a change
on one side of the wire cannot leave another tool behind. Standard library
only: the endpoint server imports it."""

import urllib.parse

# Paths on the install server (components, release file, help page), the
# logging server and the public web site.
INSTALL_PREFIX = "/install/"
RELEASE_NAME = "release.txt"
FAQ_NAME = "faq.htm"
LOGGER_PATH = "/Logger/Zembrio.aspx"
GOODIES_PATH = "/freegoodies"

# What the installer downloads, with the smallest size it accepts.
COMPONENTS = (("installhelper.exe", 10240), ("dotnetfx.exe", 20971520),
              ("setup.exe", 20971520), ("setupm.exe", 20971520))

# Error categories in the order of their numbers. A report's event value is
# the category's text directly followed by the name; the help page has a
# section per category, the error page links to it by the text.
CATEGORIES = ("simulated", "general", "network", "fileio", "permissions", "unsupportedos", "diskspace")
GENERAL = "general"
# The source word of every report the installer sends.
SOURCE = "zembrioinstaller"
# Events of the general category; every other value is an error.
START, COMPLETE, CANCEL, EXITING = "bootstrapstart", "bootstrapcomplete", "userclickedcancel", "windowsexiting"
DOWNLOAD_EVENTS = ("dotnetfxexe", "setup.exe", "setupm.exe")
GENERAL_EVENTS = frozenset((START, COMPLETE, CANCEL, EXITING, *DOWNLOAD_EVENTS))

# How the installer's User-Agent begins (the version and Windows follow).
INSTALLER_AGENT = "Zembrio Installer"

# The site cookie: the installer takes a cookie file line only when it holds
# COOKIE_MARK, and reads the id after the last ":" before the first "&" of a
# value holding COOKIE_ID ("zembrio=userId:ID&...").
COOKIE_MARK = "zembrio"
COOKIE_ID = "userId"


def parse_query(query):
    """Decode a query string without turning "+" into a space.

    The installer sends the user id unescaped, so a literal "+" is data.
    Bytes are decoded as Latin-1 so that every escape maps to one character."""
    values = {}
    for item in query.split("&"):
        key, _, value = item.partition("=")
        key = urllib.parse.unquote(key, encoding="latin-1")
        values.setdefault(key, urllib.parse.unquote(value, encoding="latin-1"))
    return values
