#!/usr/bin/env python3
"""Checks JSON documents, one a line on standard input, against a JSON
Schema (2020-12) and prints one verdict a line: "ok" or "refused: why".
Exits 1 when the schema itself is not a valid 2020-12 schema.

usage: schema_check.py SCHEMA.json < DOCUMENTS"""
import json
import sys

from jsonschema import Draft202012Validator, FormatChecker

schema = json.load(open(sys.argv[1]))
Draft202012Validator.check_schema(schema)
validator = Draft202012Validator(schema, format_checker=FormatChecker())
for line in sys.stdin:
    line = line.rstrip("\n")
    if not line:
        continue
    try:
        document = json.loads(line)
    except ValueError as error:
        print("refused: not JSON:", error)
        continue
    errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
    print("ok" if not errors else "refused: " + errors[0].message.replace("\n", " "))
