#!/usr/bin/env python3
"""Circles of files in the updater's call graph, found by name.

  scripts/file-circles.py [ROOT] [--trace F[,F...] [PREFIX] [-v]]

A node is a header and its source (one path without extension). An edge A->B
means a function body in A calls a function or member whose only definition
is in B. A name defined in more than one place (overloads, members of two
classes) is left out, and so is a method declared virtual or override: a call
through an interface is a seam. Prints every strongly connected component of
more than one node. With --trace, the places one call chain passes (each
function expanded once, its calls in the order written, only those under
PREFIX), how often it comes back to a file it had left, and how often a file
is entered again from another file once the chain had left it (a function
that calls no other file of PREFIX, a question such as a file's attributes,
does not count). Names are matched as text, so a check by eye of what it
prints is still wanted.
"""
import os, re, sys
from collections import defaultdict

ROOT = sys.argv[1] if len(sys.argv) > 1 else 'updater'
KEYWORDS = set('if for while switch return sizeof catch static_cast reinterpret_cast const_cast '
               'dynamic_cast decltype alignof noexcept defined assert'.split())

def strip(text):
    text = re.sub(r'//[^\n]*', '', text)
    text = re.sub(r'/\*.*?\*/', '', text, flags=re.S)
    text = re.sub(r'"(\\.|[^"\\])*"', '""', text)
    text = re.sub(r"'(\\.|[^'\\])*'", "''", text)
    return text

def bodies(text):
    """(name, body) of every function defined at namespace or class level."""
    out = []
    for m in re.finditer(r'([A-Za-z_][\w:~]*)\s*\(([^;{}()]|\([^()]*\))*\)\s*(const\s*)?(override\s*)?(noexcept\s*)?'
                         r'(->\s*[\w:<>&*\s]+)?(:\s*[^{;]*)?\{', text):
        name = m.group(1).split('::')[-1]
        if name in KEYWORDS:
            continue
        depth, i = 1, m.end()
        while i < len(text) and depth:
            depth += {'{': 1, '}': -1}.get(text[i], 0)
            i += 1
        out.append((name, text[m.end():i - 1]))
    return out

files = []
for base, _, names in os.walk(ROOT):
    for n in names:
        if n.endswith(('.cpp', '.h')):
            files.append(os.path.join(base, n))
node = lambda p: os.path.splitext(p)[0]
defs = defaultdict(set)
calls = defaultdict(set)
seams = set()
CALL_AFTER = {'return', 'else', 'throw', 'new', 'case', 'do', 'co_return'}
texts = {p: strip(open(p, encoding='utf-8', errors='replace').read()) for p in files}
for text in texts.values():
    # An interface's methods are called through it: a seam, whoever overrides them.
    seams.update(re.findall(r'virtual[^;{(]*?\b(\w+)\s*\(', text))
    seams.update(re.findall(r'\b(\w+)\s*\([^;{]*\)\s*(?:const\s*)?override', text))
for p, text in texts.items():
    locals_ = set(re.findall(r'\bauto\s+(\w+)\s*=', text))
    for name, body in bodies(text):
        defs[name].add(node(p))
        for c in re.finditer(r'([A-Za-z_]\w*)\s*\(', body):
            name = c.group(1)
            before = body[:c.start()].rstrip()
            prev = re.search(r'(\w+|[^\w\s])$', before)
            prev = prev.group(1) if prev else ''
            # "Type name(" declares an object; it calls no function of that name.
            if (re.match(r'\w+$', prev) and prev not in CALL_AFTER) or (prev == '>' and not before.endswith('->')):
                continue
            if name in locals_ or name in seams:
                continue
            calls[node(p)].add(name)
edges = defaultdict(set)
for a, names in calls.items():
    for name in names:
        where = defs.get(name, set())
        if len(where) == 1:
            b = next(iter(where))
            if b != a:
                edges[a].add((b, name))

graph = {a: {b for b, _ in e} for a, e in edges.items()}
index, low, stack, on, sccs, counter = {}, {}, [], set(), [], [0]
sys.setrecursionlimit(10000)
def visit(v):
    index[v] = low[v] = counter[0]; counter[0] += 1
    stack.append(v); on.add(v)
    for w in graph.get(v, ()):
        if w not in index:
            visit(w); low[v] = min(low[v], low[w])
        elif w in on:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        comp = []
        while True:
            w = stack.pop(); on.discard(w); comp.append(w)
            if w == v: break
        if len(comp) > 1: sccs.append(comp)
for v in list(graph):
    if v not in index: visit(v)
print('files:', len({node(p) for p in files}), 'edges:', sum(len(g) for g in graph.values()))
print('circles:', len(sccs))
for comp in sccs:
    print('  circle:', ' '.join(sorted(comp)))
    for a in comp:
        for b, name in sorted(edges[a]):
            if b in comp: print('     ', a, '->', b, 'by', name)

# --trace ROOT[,ROOT...] [PREFIX]: the files one call chain visits, each
# function expanded once, its calls in the order they are written; only
# functions under PREFIX count as places.
if '--trace' in sys.argv:
    roots = sys.argv[sys.argv.index('--trace') + 1].split(',')
    prefix = sys.argv[sys.argv.index('--trace') + 2] if len(sys.argv) > sys.argv.index('--trace') + 2 else ROOT
    ordered = defaultdict(list)   # (file, name) -> calls in order
    for p, text in texts.items():
        locals_ = set(re.findall(r'\bauto\s+(\w+)\s*=', text))
        for name, body in bodies(text):
            seq = []
            for c in re.finditer(r'([A-Za-z_]\w*)\s*\(', body):
                callee = c.group(1)
                before = body[:c.start()].rstrip()
                prev = re.search(r'(\w+|[^\w\s])$', before)
                prev = prev.group(1) if prev else ''
                if (re.match(r'\w+$', prev) and prev not in CALL_AFTER) or (prev == '>' and not before.endswith('->')):
                    continue
                if callee in locals_ or callee in seams or callee == name:
                    continue
                where = defs.get(callee, set())
                if len(where) == 1:
                    seq.append(callee)
            ordered[(node(p), name)].extend(seq)
    where_of = lambda name: next(iter(defs[name]))
    places, seen, stack, entered, reentries = [], set(), [], set(), defaultdict(int)
    def hands_on_of(f, name, visiting):
        """Whether name calls into another file of PREFIX, itself or through
        the functions of its own file it calls."""
        visiting.add(name)
        for c in ordered[(f, name)]:
            if len(defs.get(c, ())) != 1: continue
            w = where_of(c)
            if w != f and w.startswith(prefix): return True
            if w == f and c not in visiting and hands_on_of(f, c, visiting): return True
        return False
    def walk(name):
        if name in seen or len(defs.get(name, ())) != 1: return
        seen.add(name)
        f = where_of(name)
        if not f.startswith(prefix): return
        places.append((f, name))
        # Entered again: called from another file once the chain had left it
        # (it is no longer among the callers), so one concern is handled in
        # two visits. A function that calls no other file of PREFIX answers a
        # question (a file's attributes, a path's parent) and hands nothing
        # on: asking it again is not a second visit of the path.
        hands_on = hands_on_of(f, name, set())
        if stack and stack[-1] != f:
            if f in entered and f not in stack and hands_on:
                reentries[f] += 1
                if "-v" in sys.argv: print("    again:", f, name, "from", stack[-1])
            if hands_on: entered.add(f)
        elif not stack:
            entered.add(f)
        stack.append(f)
        for callee in ordered[(f, name)]:
            walk(callee)
        stack.pop()
    for r in roots: walk(r)
    left, returns, last = set(), defaultdict(int), None
    for f, name in places:
        if f != last:
            if f in left: returns[f] += 1
            if last: left.add(last)
            last = f
    print('trace', roots, 'places:', len(places), 'files:', len({f for f, _ in places}),
          'returns:', sum(returns.values()), dict(returns))
    print('entered again:', sum(reentries.values()), dict(reentries))
    if '-v' in sys.argv:
        for f, name in places: print('   ', f, name)
