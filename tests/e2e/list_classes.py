#!/usr/bin/env python3
"""Lists the test classes of end-to-end scripts for ctest, one
"<script>,<class>,<seconds>" line each: every class that defines test
methods, with its TIMEOUT (ctest's limit for the class; 300 when it names
none). Read from the source, not imported: configure needs no Wine.

    list_classes.py tests/e2e/test_*.py
"""
import ast
import sys

DEFAULT_TIMEOUT = 300


def classes(path):
    with open(path, encoding="utf-8") as source:
        tree = ast.parse(source.read(), path)
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        tests = [f for f in node.body if isinstance(f, ast.FunctionDef) and f.name.startswith("test")]
        if not tests:
            continue
        timeout = DEFAULT_TIMEOUT
        for item in node.body:
            if (isinstance(item, ast.Assign) and any(getattr(t, "id", None) == "TIMEOUT" for t in item.targets)
                    and isinstance(item.value, ast.Constant)):
                timeout = item.value.value
        yield node.name, timeout


def main(paths):
    for path in paths:
        for name, timeout in classes(path):
            print(f"{path},{name},{timeout}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
