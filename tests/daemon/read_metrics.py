#!/usr/bin/env python3
"""Reads a Prometheus text file with prometheus_client's own parser and
prints what it found, for the daemon's end-to-end tests:

  family<TAB>NAME<TAB>TYPE<TAB>HELP      one line per metric family
  sample<TAB>NAME<TAB>MODULE<TAB>VALUE   one line per sample (MODULE: the
                                         module label, "-" when absent)

Exits non-zero when the parser rejects the file."""
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    with open(sys.argv[1], encoding="utf-8") as file:
        text = file.read()
    for family in text_string_to_metric_families(text):
        print("family\t%s\t%s\t%s" % (family.name, family.type, family.documentation))
        for sample in family.samples:
            print("sample\t%s\t%s\t%r" % (sample.name, sample.labels.get("module", "-"),
                                          sample.value))


if __name__ == "__main__":
    main()
