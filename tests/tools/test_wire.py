#!/usr/bin/env python3
"""The operators' tools take the wire contract from tools/wire.py: a tool
that spells a server path, the release or help file name, the source word or
the agent itself, or defines its own copy of a contract table, would go on
with the old value when the contract changes."""

import ast
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.normpath(os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, TOOLS)
import wire  # noqa: E402

# Texts no tool but wire.py may write out: they name a place or a word on
# the wire and have no other meaning in the tools.
SPELLED = {wire.INSTALL_PREFIX, wire.INSTALL_PREFIX.rstrip("/"), wire.LOGGER_PATH, wire.GOODIES_PATH,
           wire.FAQ_NAME, wire.RELEASE_NAME, wire.SOURCE, wire.INSTALLER_AGENT}


def python_tools():
    for name in sorted(os.listdir(TOOLS)):
        path = os.path.join(TOOLS, name)
        if name == "wire.py" or not os.path.isfile(path):
            continue
        with open(path, "rb") as f:
            first = f.readline()
        if name.endswith(".py") or (b"python" in first and first.startswith(b"#!")):
            yield name, path


def docstrings(tree):
    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and node.body:
            first = node.body[0]
            if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant):
                yield first.value


def kind(value):
    return "text" if isinstance(value, str) else "table" if isinstance(value, (tuple, list, set, frozenset)) else None


def literal(node):
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, RecursionError):
        return None  # not a literal: taken from somewhere else


class WireContract(unittest.TestCase):
    def test_no_tool_keeps_its_own_copy(self):
        contract = {name: value for name, value in vars(wire).items()
                    if name.isupper() and isinstance(value, (str, tuple, frozenset))}
        found, scanned = [], []
        for name, path in python_tools():
            scanned.append(name)
            with open(path, encoding="utf-8") as f:
                tree = ast.parse(f.read(), path)
            skip = {id(node) for node in docstrings(tree)}
            for node in ast.walk(tree):
                if isinstance(node, ast.Constant) and id(node) not in skip and node.value in SPELLED:
                    found.append("%s:%d spells %r" % (name, node.lineno, node.value))
            for node in tree.body:
                if not isinstance(node, ast.Assign):
                    continue
                value = literal(node.value)
                for target in node.targets:
                    names = target.elts if isinstance(target, ast.Tuple) else [target]
                    values = value if isinstance(target, ast.Tuple) and isinstance(value, tuple) else [value]
                    for each, held in zip(names, values):
                        if (isinstance(each, ast.Name) and each.id in contract
                                and kind(held) and kind(held) == kind(contract[each.id])):
                            found.append("%s:%d defines %s itself" % (name, node.lineno, each.id))
        self.assertLessEqual({"endpoint_server.py", "funnel", "deploy-check", "publish", "bench.py"}, set(scanned))
        self.assertEqual([], found, "take these from tools/wire.py")


if __name__ == "__main__":
    unittest.main()
