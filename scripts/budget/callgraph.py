"""The compiler's view of the functions: frame sizes from the .su files
(-fstack-usage) and call edges from the .ci call graphs
(-fcallgraph-info=su) written beside each object."""

import os
import re

TITLE_RE = re.compile(r'title: "((?:[^"\\]|\\.)*)"')
LABEL_RE = re.compile(r'label: "((?:[^"\\]|\\.)*)"')
EDGE_RE = re.compile(r'sourcename: "((?:[^"\\]|\\.)*)" targetname: "((?:[^"\\]|\\.)*)"(?: label: "((?:[^"\\]|\\.)*)")?')
BYTES_RE = re.compile(r"(\d+) bytes \(([a-z,]+)\)")


class Function:
    def __init__(self, name, tu, loc, frame, qualifier):
        self.name, self.tu, self.loc, self.frame, self.qualifier = name, tu, loc, frame, qualifier
        self.callees = []   # (callee name, call site)
        self.indirect = []  # call sites


def symbol_of(title):
    """The symbol of a call-graph title: file-local functions are titled
    "<source path>:<symbol>"."""
    return title.rsplit(":", 1)[-1]


# The link step of a link-time-optimised image titles every function with
# its partition's temporary object ("/tmp/ccXXXX.ltrans0.o:<symbol>"): the
# whole image is one unit there, and names are unique in it.
LTRANS_PREFIX_RE = re.compile(r"^[^:]*\.ltrans\d+\.o:")


def plain_title(title):
    return LTRANS_PREFIX_RE.sub("", title)


def read_call_graphs(objects):
    """Function definitions from the .ci and .su files beside each object."""
    defs = []
    problems = []
    for obj in objects:
        # An object, or the call graph itself (the link step's output).
        stem = obj[:-len(".obj")] if obj.endswith(".obj") else os.path.splitext(obj)[0]
        ci_path, su_path = stem + ".ci", stem + ".su"
        if not os.path.exists(ci_path) or not os.path.exists(su_path):
            problems.append("no stack-usage or call-graph file for %s" % obj)
            continue
        su = {}
        with open(su_path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 3:
                    # "<file>:<line>:<column>:<name>"; a function and its
                    # specialised clones share the place, not the name.
                    place = parts[0].split(":")
                    su[(":".join(place[:3]), ":".join(place[3:]))] = (int(parts[1]), parts[2])
        by_name = {}
        with open(ci_path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("node:"):
                    title = plain_title(TITLE_RE.search(line).group(1))
                    label = LABEL_RE.search(line).group(1).split("\\n")
                    size = BYTES_RE.search(label[-1]) if len(label) >= 3 else None
                    if size is None:
                        continue  # declared here, defined elsewhere
                    loc = label[1]
                    frame, qualifier = int(size.group(1)), size.group(2)
                    key = (loc, label[0])
                    if key in su and su[key][0] != frame:
                        problems.append("%s: .su says %d bytes, .ci %d" % (title, su[key][0], frame))
                    if key in su:
                        frame, qualifier = su[key]
                    fn = Function(title, ci_path, loc, frame, qualifier)
                    by_name[title] = fn
                    defs.append(fn)
                elif line.startswith("edge:"):
                    m = EDGE_RE.search(line)
                    source, target, site = plain_title(m.group(1)), plain_title(m.group(2)), m.group(3) or "?"
                    fn = by_name.get(source)
                    if fn is None:
                        problems.append("call graph of %s: edge from unknown %s" % (ci_path, source))
                        continue
                    if target == "__indirect_call":
                        fn.indirect.append(site)
                    else:
                        fn.callees.append((target, site))
    return defs, problems
