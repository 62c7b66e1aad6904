"""Validates JSON documents against a JSON Schema (Draft 2020-12).

Usage: /usr/bin/python3 validateJson.py SCHEMA DOCUMENT...

Prints one line per violation (document, location, message) and exits with 1 when
there is any, 0 when every document is valid.
"""

import json
import sys

import jsonschema


def main(arguments: list[str]) -> int:
    with open(arguments[0], encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    for path in arguments[1:]:
        with open(path, encoding="utf-8") as document_file:
            document = json.load(document_file)
        for error in validator.iter_errors(document):
            location = "/".join(str(part) for part in error.absolute_path)
            print(f"{path}: /{location}: {error.message}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
