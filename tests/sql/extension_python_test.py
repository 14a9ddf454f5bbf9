"""The loadable extension in Python's sqlite3 module: load it, attach a copy of the Kunden
fixture and read every record in key order, which must be the fixture's rows without the
deleted slots (every 9th).

Usage: extension_python_test.py EXTENSION (TARVO_FIXTURES names the fixture folder)."""
import glob
import json
import os
import shutil
import sqlite3
import stat
import sys
import tempfile


def main():
    extension = sys.argv[1]
    fixtures = os.path.join(os.environ["TARVO_FIXTURES"], "basic")
    with tempfile.TemporaryDirectory() as folder:
        for path in glob.glob(os.path.join(fixtures, "Kunden.*")):
            copy = shutil.copy(path, folder)
            os.chmod(copy, os.stat(copy).st_mode | stat.S_IWUSR)
        with open(os.path.join(fixtures, "Kunden.rows.jsonl")) as rows:
            expected = [(number, row.get("Name"), row.get("Born"), row.get("Count"))
                        for number, row in enumerate(map(json.loads, rows), 1) if number % 9 != 0]
        db = sqlite3.connect(":memory:")
        db.enable_load_extension(True)
        db.load_extension(extension)
        db.execute("SELECT tarvo_attach(?)", (folder,))
        got = db.execute("SELECT ID, Name, Born, Count FROM Kunden ORDER BY ID").fetchall()
        db.close()
    if got != expected:
        print("expected %d rows, got %d; first difference:" % (len(expected), len(got)))
        print(next(((e, g) for e, g in zip(expected, got) if e != g), None))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
