"""Writes the recorded HPACK corpus (tests/data) in the line format bench/hpack_bench.cpp reads.

    python3 bench/hpack_corpus_lines.py [corpus dir] > /tmp/hpack-corpus.txt

One story per "S <folder>" line, then per block: "T <size>" when the table size changes,
"B <hex>", one "F <hex name> <hex value>" per expected field (each hex prefixed with x), "E".
"""
import json
import pathlib
import sys

if len(sys.argv) > 1:
    root = pathlib.Path(sys.argv[1])
else:  # the corpus shipped with the tests
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
    from hpack_corpus import corpus_dir

    root = corpus_dir()
for path in sorted(root.glob("*/story_*.json")):
    print("S", path.parent.name)
    for case in json.loads(path.read_text())["cases"]:
        if "header_table_size" in case:
            print("T", case["header_table_size"])
        print("B", case["wire"])
        for h in case["headers"]:
            for n, val in h.items():
                print(f"F x{n.encode().hex()} x{val.encode().hex()}")
        print("E")
