#!/usr/bin/env python3
"""The Grafana dashboard is JSON Grafana imports, and every metric its
queries name is one the gateway serves (the names in gateway/metrics.cpp)."""
import json
import re
import sys

root = sys.argv[1]
dash = json.load(open(root + "/dist/trevalquin-grafana.json"))
served = set(re.findall(r'"(trevalquin_[a-z_]+)', open(root + "/gateway/metrics.cpp").read()))
problems = []
if not dash.get("panels") or not dash.get("title") or not dash.get("uid"):
    problems.append("not a dashboard: panels, title and uid are needed")
ids = [p.get("id") for p in dash["panels"]]
if len(ids) != len(set(ids)):
    problems.append("panel ids repeat")
for p in dash["panels"]:
    for t in p.get("targets", []):
        for name in re.findall(r"\b(trevalquin_[a-z_]+)", t["expr"]):
            base = re.sub(r"_(bucket|sum|count)$", "", name)
            if name not in served and base not in served:
                problems.append("%s: %s is not served" % (p["title"], name))
        if t["expr"].count("(") != t["expr"].count(")"):
            problems.append("%s: unbalanced parentheses" % p["title"])
for line in problems:
    print(line)
sys.exit(1 if problems else 0)
