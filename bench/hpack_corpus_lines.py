"""Writes the shared HPACK corpus in the line format bench/hpack_bench.cpp reads.

    python3 bench/hpack_corpus_lines.py [corpus dir] > /tmp/hpack-corpus.txt

One story per "S <folder>" line, then per block: "T <size>" when the table size changes,
"B <hex>", one "F <hex name> <hex value>" per expected field (each hex prefixed with x), "E".
"""
import json
import pathlib
import sys

root = pathlib.Path(
    sys.argv[1]
    if len(sys.argv) > 1
    else pathlib.Path(__file__).resolve().parents[2] / "shared" / "hpack-test-case"
)
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
