"""Cube and conquer without the cluster: splitting a formula into cubes by lookahead, closing the
split tree as cubes are refuted, and the pieces of one DRAT proof of the whole formula.

The split is a binary tree over signed DIMACS literals: a node's cube is the path of branching
literals from the root.  `Split.build` grows it with `Solver.propagate` on a solver that has
already searched a little (its learned clauses sharpen the lookahead): at each node the
candidate variables -- the most constrained ones, weighted by the lengths of the clauses they
occur in -- are tried both ways, and the variable whose two sides imply the most wins.  A side
that propagation refutes is a leaf closed on the spot; a variable with such a side is taken at
once and does not count against the depth.

A refuted cube closes the highest node its core reaches: the core is a subset of the cube, and
the node whose cube ends at the core's deepest literal already contains the whole core, so its
clause (the negated core) refutes that node and every cube under it, which are pruned.  A node
whose two children are closed is closed by its negated cube, which follows by unit propagation
from the children's clauses.  The formula is refuted when the root closes.

The proof, in this order: the first solver's proof (which the lookahead's propagation relies
on), the negated cubes of the leaves that propagation refuted, each refuted cube's proof (ending
with its negated core) as it arrives, then the negated cubes of the inner nodes that closed
through their children, children before parents, and the empty clause.  Every part is checked
against the formula plus what comes before it, so a deletion must never remove a clause that a
later part needs: `own_deletions_only` keeps only the deletions of clauses the part itself added
(a solver also deletes clauses of the formula that its top-level assignment satisfies, and those
may be needed by another cube's steps).  Shipping cubes and proofs is left to norvane.distributed.
"""
from __future__ import annotations

import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence

from .cnf import CNF

#: Variables tried at each node of the lookahead.
CANDIDATES = 32


class Node:
    """One node of the split tree."""

    __slots__ = ("cube", "parent", "children", "closed_by", "how", "leaf", "source")

    def __init__(self, cube: list[int], parent: Node | None) -> None:
        self.cube = cube
        self.parent = parent
        self.children: tuple[Node, Node] | tuple[()] = ()
        self.closed_by: list[int] | None = None
        """The clause that refutes this node: a subset of its negated cube."""
        self.how = ""
        """'propagation', 'core' or 'children' once closed."""
        self.leaf = -1
        """Index among the cubes to solve, or -1."""
        self.source = -1
        """When closed by a core: the cube whose core it was."""

    @property
    def closed(self) -> bool:
        return self.closed_by is not None

    def walk(self) -> Iterator[Node]:
        stack: list[Node] = [self]
        while stack:
            n = stack.pop()
            yield n
            stack.extend(reversed(n.children))


class Split:
    """The split tree of one formula and what is known of its cubes."""

    def __init__(self) -> None:
        self.root = Node([], None)
        self.cubes: list[Node] = []
        """The leaves to solve, in the order made (depth first, positive side first)."""
        self.by_propagation: list[Node] = []
        """Leaves refuted by propagation while splitting."""
        self.pruned: set[int] = set()
        """Indices of cubes no longer needed: a node above them was refuted."""
        self.refuted: set[int] = set()
        self.depth = 0

    # -- building ------------------------------------------------------------------------------

    @classmethod
    def build(cls, cnf: CNF, propagate: Callable[[list[int]], tuple[bool, list[int]]], depth: int,
              candidates: int = CANDIDATES, budget: float | None = None,
              count: Callable[[list[int]], tuple[bool, int]] | None = None) -> Split:
        """Split to `depth` branchings below the root.  `propagate(cube)` is unit propagation
        over the formula (and any clauses it implies): (ok, literals made true); `count(cube)`,
        if given, the same with only the number of literals (the lookahead tries many
        candidates and needs no more).  Past `budget` seconds of lookahead, the best-ranked free
        variable is taken without trying it."""
        if count is None:
            def count(cube: list[int]) -> tuple[bool, int]:
                ok, implied = propagate(cube)
                return ok, len(implied)

        tree = cls()
        tree.depth = depth
        rank = constrained_variables(cnf)
        end = None if budget is None else time.monotonic() + budget
        stack = [(tree.root, depth)]
        while stack:
            node, d = stack.pop()
            ok, implied = propagate(node.cube)
            if not ok:
                tree._close_by_propagation(node)
                continue
            if d == 0:
                tree._make_leaf(node)
                continue
            wide = candidates if end is None or time.monotonic() < end else 1
            var, refuted = _choose(node.cube, implied, rank, count, wide)
            if var == 0:  # every ranked variable is assigned: solve the cube as it is
                tree._make_leaf(node)
                continue
            pos, neg = Node([*node.cube, var], node), Node([*node.cube, -var], node)
            node.children = (pos, neg)
            # A side refuted by propagation is closed now; the other side keeps the depth.
            free = d if refuted else d - 1
            for child, side in ((neg, -var), (pos, var)):
                if side in refuted:
                    tree._close_by_propagation(child)
                else:
                    stack.append((child, free))
        return tree

    @classmethod
    def fixed(cls, branches: Sequence[int]) -> Split:
        """A complete tree that branches on `branches[i]` (variables) at depth i: for tests and
        for splitting on given variables."""
        tree = cls()
        tree.depth = len(branches)
        level = [tree.root]
        for var in branches:
            nxt: list[Node] = []
            for node in level:
                node.children = (Node([*node.cube, var], node), Node([*node.cube, -var], node))
                nxt.extend(node.children)
            level = nxt
        for node in level:
            tree._make_leaf(node)
        return tree

    def _make_leaf(self, node: Node) -> None:
        node.leaf = len(self.cubes)
        self.cubes.append(node)

    def _close_by_propagation(self, node: Node) -> None:
        self.by_propagation.append(node)
        self._close(node, [-l for l in node.cube], "propagation")

    # -- closing -------------------------------------------------------------------------------

    def _close(self, node: Node, clause: list[int], how: str) -> list[Node]:
        """Close `node` by `clause`; prune the open cubes under it; close its ancestors whose two
        children are now closed.  Returns the cubes pruned."""
        node.closed_by, node.how = clause, how
        pruned = [n for n in node.walk() if n.leaf >= 0 and n.leaf not in self.refuted and n.leaf not in self.pruned]
        self.pruned.update(n.leaf for n in pruned)
        p = node.parent
        while p is not None and not p.closed and all(c.closed for c in p.children):
            p.closed_by, p.how = [-l for l in p.cube], "children"
            p = p.parent
        return pruned

    def is_open(self, index: int) -> bool:
        """Whether cube `index` still needs an answer."""
        node = self.cubes[index]
        return not any(n.closed for n in _ancestry(node))

    def refute(self, index: int, core: Iterable[int]) -> list[int]:
        """Cube `index` was refuted with `core` (a subset of the cube).  Returns the indices of
        the cubes this prunes.  A core outside the cube raises ValueError."""
        node = self.cubes[index]
        core = list(core)
        where = {l: i for i, l in enumerate(node.cube)}
        if any(l not in where for l in core):
            raise ValueError(f"the core {core} is not part of cube {node.cube}")
        if not self.is_open(index):
            return []
        self.refuted.add(index)
        reach = max((where[l] + 1 for l in core), default=0)
        top = node
        while len(top.cube) > reach and top.parent is not None:
            top = top.parent
        if any(n.closed for n in _ancestry(top)):
            return []
        top.source = index
        return [n.leaf for n in self._close(top, [-l for l in core], "core")]

    @property
    def done(self) -> bool:
        return self.root.closed

    # -- the proof -----------------------------------------------------------------------------

    def head_steps(self) -> list[list[int]]:
        """The clauses of the leaves propagation refuted (after the first solver's proof)."""
        return [n.closed_by for n in self.by_propagation if n.closed_by is not None]

    def tail_steps(self) -> list[list[int]]:
        """The negated cubes of the inner nodes that closed through their children, children
        first, then the empty clause.  Only nodes the root's refutation depends on are listed."""
        out: list[list[int]] = []
        stack: list[tuple[Node, bool]] = [(self.root, False)]
        while stack:
            node, expanded = stack.pop()
            if node.how != "children":
                continue
            if expanded:
                if node.cube:
                    out.append([-l for l in node.cube])
                continue
            stack.append((node, True))
            stack.extend((c, False) for c in node.children)
        out.append([])
        return out

    def needed(self) -> set[int]:
        """The refuted cubes whose proofs the root's refutation depends on."""
        out = set()
        stack = [self.root]
        while stack:
            node = stack.pop()
            if node.how == "children":
                stack.extend(node.children)
            elif node.how == "core":
                out.add(node.source)
        return out


def _ancestry(node: Node) -> Iterator[Node]:
    n: Node | None = node
    while n is not None:
        yield n
        n = n.parent


def constrained_variables(cnf: CNF) -> list[int]:
    """Variables by how constrained they are: each occurrence weighs 2^-(clause length), so
    short clauses count most.  The most constrained first; ties by variable number."""
    weight: dict[int, float] = {}
    for clause in cnf:
        w = 2.0 ** -len(clause)
        for l in clause:
            v = abs(l)
            weight[v] = weight.get(v, 0.0) + w
    return sorted(weight, key=lambda v: (-weight[v], v))


def _choose(cube: list[int], implied: list[int], rank: list[int], count: Callable[[list[int]], tuple[bool, int]],
            wide: int) -> tuple[int, set[int]]:
    """The branching variable for `cube` and the sides of it that propagation refutes.
    Returns (0, set()) when every ranked variable is assigned."""
    assigned = {abs(l) for l in implied} | {abs(l) for l in cube}
    base = len(implied)
    best, best_score, tried = 0, -1, 0
    for v in rank:
        if v in assigned:
            continue
        if tried >= wide and best != 0:
            break
        tried += 1
        ok_pos, pos = count([*cube, v])
        ok_neg, neg = count([*cube, -v])
        if (ok_pos and pos == base) or (ok_neg and neg == base):
            continue  # fixed at the top level (propagation does not list those)
        refuted = ({v} if not ok_pos else set()) | ({-v} if not ok_neg else set())
        if refuted:
            return v, refuted
        score = (pos - base + 1) * (neg - base + 1)
        if best == 0 or score > best_score:
            best, best_score = v, score
    return best, set()


# ---------------------------------------------------------------------------------------------
# Deletions of a part of a combined proof


def longest_encoding(cnf: CNF, binary: bool) -> int:
    """An upper bound on the bytes one of the formula's clauses takes in a proof step (without
    the step's kind and its terminator): no deletion longer than this can be of a clause of the
    formula, or of one the solver shortened while loading it."""
    width = 0
    for clause in cnf:
        width = max(width, len(clause))
    if binary:
        u, var_bytes = 2 * cnf.nvars + 1, 1
        while u >= 128:
            u >>= 7
            var_bytes += 1
        return width * var_bytes
    return width * (len(str(cnf.nvars)) + 2) + 1


def own_deletions_only(data: bytes, binary: bool, longest: int) -> bytes:
    """A proof (DRAT text or binary) with only the deletions of clauses it added itself: a
    deletion of a clause it never added (one of the formula's) is dropped.  Deletions longer
    than `longest` (see `longest_encoding`) can only be of its own clauses and are kept unread;
    shorter ones are matched against the additions before them."""
    sep = b"\0" if binary else b"\n"
    steps = data.split(sep)
    if steps and steps[-1] == b"":
        steps.pop()
    added: Counter[tuple[int, ...]] = Counter()
    out = []
    for step in steps:
        if binary:
            deletion, body = step[:1] == b"d", step[1:]
        else:
            if not step.strip():
                continue
            deletion = step[:2] == b"d "
            body = step[2:] if deletion else step
        if len(body) <= longest:
            key = _key(body, binary)
            if deletion:
                if added[key] <= 0:
                    continue
                added[key] -= 1
            else:
                added[key] += 1
        out.append(step)
    return sep.join(out) + sep if out else b""


def _key(body: bytes, binary: bool) -> tuple[int, ...]:
    """The literals of a step's body, sorted."""
    if not binary:
        return tuple(sorted(int(t) for t in body.split()[:-1]))
    lits, u, shift = [], 0, 0
    for b in body:
        u |= (b & 127) << shift
        shift += 7
        if b < 128:
            lits.append(u)
            u = shift = 0
    return tuple(sorted(lits))
