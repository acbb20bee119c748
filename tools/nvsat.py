#!/usr/bin/env python3
"""nvsat: command-line front end of the norvane_native SAT engine.

    nvsat.py solve [FILE]            decide a DIMACS CNF formula (SAT-competition output)
    nvsat.py check CNF PROOF         verify a DRAT text proof against a formula
    nvsat.py preprocess CNF -o OUT   simplify a formula and write it as DIMACS

Uses only the module's public API and the Python standard library.
"""
from __future__ import annotations

import argparse
import bz2
import gzip
import io
import lzma
import os
import sys
import time
from pathlib import Path

import norvane_native as nn

HERE = Path(__file__).resolve().parent
DEFAULT_INSTANCE = HERE.parent / "examples" / "queens8.cnf"

EXIT_SAT, EXIT_UNSAT, EXIT_UNKNOWN, EXIT_USAGE = 10, 20, 0, 2


class InputError(Exception):
    """Bad input: reported as one line naming the file and line, exit code 2."""


# ---------------------------------------------------------------------------
# Reading files


def open_text(path: str):
    """Open plain, .gz, .xz or .bz2 text (by content), or standard input for '-'."""
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise InputError(f"{path}: cannot read file: {e.strerror or e}") from None
    try:
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        elif data[:6] == b"\xfd7zXZ\x00":
            data = lzma.decompress(data)
        elif data[:3] == b"BZh":
            data = bz2.decompress(data)
    except (OSError, EOFError, lzma.LZMAError, ValueError) as e:
        raise InputError(f"{path}: cannot decompress: {e}") from None
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as e:
        raise InputError(f"{path}: not a text file (byte {e.start} is not ASCII)") from None


def parse_dimacs(path: str):
    """Parse DIMACS CNF.  Returns (nvars, clauses of DIMACS literals)."""
    text = open_text(path)
    name = "<stdin>" if path == "-" else path
    nvars = nclauses = None
    clauses: list[list[int]] = []
    cur: list[int] = []
    cur_line = 0
    for lineno, line in enumerate(text.splitlines(), 1):
        s = line.strip()
        if not s or s[0] == "c":
            continue
        if s[0] == "%":  # end marker of some old benchmark files
            break
        if s[0] == "p":
            parts = s.split()
            if nvars is not None:
                raise InputError(f"{name}:{lineno}: second 'p' header line")
            if len(parts) != 4 or parts[1] != "cnf" or not parts[2].isdigit() or not parts[3].isdigit():
                raise InputError(f"{name}:{lineno}: malformed header {s!r} (expected 'p cnf VARIABLES CLAUSES')")
            nvars, nclauses = int(parts[2]), int(parts[3])
            if nvars > 2**31 - 1:
                raise InputError(f"{name}:{lineno}: variable count {nvars} is too large")
            continue
        if nvars is None:
            raise InputError(f"{name}:{lineno}: clause before the 'p cnf' header")
        try:
            nums = [int(t) for t in s.split()]
        except ValueError:
            bad = next(t for t in s.split() if not t.lstrip("-").isdigit())
            raise InputError(f"{name}:{lineno}: {bad!r} is not a literal") from None
        for d in nums:
            if d == 0:
                clauses.append(cur)
                cur = []
            elif abs(d) > nvars:
                raise InputError(f"{name}:{lineno}: literal {d} is beyond the header's {nvars} variables")
            else:
                if not cur:
                    cur_line = lineno
                cur.append(d)
    if nvars is None:
        raise InputError(f"{name}: no 'p cnf' header")
    if cur:
        raise InputError(f"{name}:{cur_line}: clause is missing its final 0")
    if nclauses != len(clauses):
        print(f"c warning: header announces {nclauses} clauses, file has {len(clauses)}", file=sys.stderr)
    return nvars, clauses


def to_internal(clauses):
    fd = nn.from_dimacs
    return [[fd(d) for d in c] for c in clauses]


def parse_drat(path: str):
    """Parse a DRAT text proof into check_proof steps (internal literals)."""
    text = open_text(path)
    steps = []
    cur: list[int] = []
    deletion = False
    cur_line = 0
    for lineno, line in enumerate(text.splitlines(), 1):
        toks = line.split()
        if not toks or toks[0] == "c":
            continue
        for t in toks:
            if t == "d":
                if cur:
                    raise InputError(f"{path}:{lineno}: 'd' inside a clause")
                deletion = True
                continue
            try:
                d = int(t)
            except ValueError:
                raise InputError(f"{path}:{lineno}: {t!r} is not a literal") from None
            if abs(d) > 2**31 - 1:
                raise InputError(f"{path}:{lineno}: literal {d} is out of range")
            if d == 0:
                steps.append((deletion, [nn.from_dimacs(x) for x in cur]))
                cur, deletion = [], False
            else:
                if not cur:
                    cur_line = lineno
                cur.append(d)
    if cur or deletion:
        raise InputError(f"{path}:{cur_line or lineno}: proof step is missing its final 0")
    return steps


def write_proof(f, pairs, flag_form=False):
    """Write proof steps as DRAT text; pairs are (kind, dimacs) or (is_deletion, dimacs)."""
    for head, lits in pairs:
        deletion = head if flag_form else head == "d"
        body = " ".join(map(str, lits))
        if deletion:
            f.write(f"d {body} 0\n" if body else "d 0\n")
        else:
            f.write(f"{body} 0\n" if body else "0\n")


# ---------------------------------------------------------------------------
# Solver options

# name, type, default (as the Solver class has them)
SOLVER_OPTIONS = [
    ("restart", str, "luby"), ("ccmin", str, "deep"), ("phase_saving", bool, True), ("init_phase", bool, False),
    ("target_phase", bool, True), ("target_reset", int, 0), ("walk_flips", int, 20000), ("walk_interval", int, 1),
    ("walk_patience", int, 3), ("walk_min_conflicts", int, 5000), ("var_decay", float, 0.8),
    ("var_decay_max", float, 0.95), ("cla_decay", float, 0.999), ("luby_base", float, 100.0),
    ("first_reduce", int, 2000), ("reduce_inc", int, 300), ("glue_keep", int, 2), ("block_restart", bool, True),
    ("rnd_freq", float, 0.0), ("rnd_seed", int, 91648253),
]
DEFAULTS = {name: default for name, _, default in SOLVER_OPTIONS}


def portfolio_configs(base: dict, n: int):
    """n diversified worker configurations, the first one being `base`."""
    variants = [
        {},
        {"restart": "glucose", "target_phase": False},
        {"restart": "luby", "luby_base": 512.0, "ccmin": "basic"},
        {"rnd_freq": 0.01, "rnd_seed": 7, "init_phase": True},
        {"restart": "glucose", "walk_min_conflicts": 1000},
        {"target_phase": False, "phase_saving": True, "var_decay_max": 0.99},
        {"restart": "luby", "luby_base": 50.0, "rnd_freq": 0.02, "rnd_seed": 12345},
        {"restart": "glucose", "ccmin": "none", "init_phase": True},
    ]
    out = []
    for i in range(n):
        cfg = dict(base)
        cfg.update(variants[i % len(variants)])
        if i >= len(variants):
            cfg["rnd_seed"] = (cfg["rnd_seed"] + 7919 * i) % 2**32
            cfg["rnd_freq"] = max(cfg["rnd_freq"], 0.005)
        out.append(cfg)
    return out


# ---------------------------------------------------------------------------
# solve


def satisfies_dimacs(clauses, model):
    return all(any((d > 0) == model[abs(d) - 1] for d in c) for c in clauses)


class Progress:
    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.start = time.monotonic()
        self.last = self.start

    def report(self, s, force=False):
        if not self.enabled:
            return
        now = time.monotonic()
        if force or now - self.last >= 1.0:
            self.last = now
            print(f"c progress: {now - self.start:8.2f}s  conflicts {s.conflicts}  restarts {s.restarts}  "
                  f"learned {s.learned}  decisions {s.decisions}", file=sys.stderr, flush=True)


def run_solver(nvars, clauses, opts, args, proof_wanted):
    """Solve with one Solver in conflict-budget slices.  Returns (answer, model, proof pairs, solver)."""
    s = nn.Solver(nvars, **opts)
    if proof_wanted:
        s.enable_proof()
    for c in clauses:
        if not s.add_clause(c):
            break
    progress = Progress(not args.quiet)
    deadline = None if args.time_limit is None else time.monotonic() + args.time_limit
    budget = args.conflicts
    answer = None
    while True:
        limit = budget
        if not args.quiet:
            limit = args.slice if limit is None else min(limit, args.slice)
        seconds = None if deadline is None else max(0.0, deadline - time.monotonic())
        before = s.conflicts
        answer = s.solve(max_conflicts=limit, seconds=seconds)
        if budget is not None:
            budget = max(0, budget - (s.conflicts - before))
        if answer is not None:
            break
        progress.report(s)
        if (budget == 0) or (deadline is not None and time.monotonic() >= deadline):
            break
    progress.report(s, force=progress.enabled and time.monotonic() - progress.start > 1.0)
    proof = s.proof_steps() if (proof_wanted and answer is False) else []
    return answer, (s.model if answer else []), proof, s


def cmd_solve(args):
    path = args.file or str(DEFAULT_INSTANCE)
    t0 = time.monotonic()
    nvars, dimacs = parse_dimacs(path)
    clauses = to_internal(dimacs)
    print(f"c norvane_native {nn.__version__}")
    print(f"c file {path}: {nvars} variables, {len(clauses)} clauses (parsed in {time.monotonic() - t0:.3f}s)")
    opts = {name: getattr(args, name) for name, _, _ in SOLVER_OPTIONS}
    proof_wanted = bool(args.proof or args.check)

    pre = None
    work_nvars, work = nvars, clauses
    pre_proof = []
    if args.preprocess:
        t1 = time.monotonic()
        pre = nn.Preprocessor(nvars, with_proof=proof_wanted)
        for c in clauses:
            pre.add_clause(c)
        pre.run()
        work = pre.reduced()
        work_nvars = max(nvars, pre.nvars)
        pre_proof = pre.proof_steps() if proof_wanted else []
        print(f"c preprocess: {len(work)} clauses left, {pre.eliminated_vars} variables eliminated, "
              f"{pre.subsumed} subsumed, {pre.strengthened} strengthened, {pre.units} units "
              f"({time.monotonic() - t1:.3f}s)")

    t2 = time.monotonic()
    if args.portfolio and args.portfolio > 1:
        configs = portfolio_configs(opts, args.portfolio)
        res = nn.solve_portfolio(work_nvars, work, configs, want_proof=proof_wanted)
        worker, _, sat, model, conflicts, decisions, props, restarts, proof = res
        answer = sat
        proof_pairs = [("d" if d else "a", lits) for d, lits in proof]
        print(f"c portfolio of {args.portfolio}: worker {worker} won; conflicts {conflicts} decisions {decisions} "
              f"propagations {props} restarts {restarts}")
    else:
        answer, model, proof_pairs, s = run_solver(work_nvars, work, opts, args, proof_wanted)
        print(f"c conflicts {s.conflicts} decisions {s.decisions} propagations {s.propagations} "
              f"restarts {s.restarts} learned {s.learned} deleted {s.deleted}")
    print(f"c solve time {time.monotonic() - t2:.3f}s")

    if answer is False:
        full_proof = list(pre_proof) + list(proof_pairs)
        if args.proof:
            with open(args.proof, "w") as f:
                write_proof(f, full_proof)
            print(f"c proof: {len(full_proof)} steps written to {args.proof}")
        if args.check:
            t3 = time.monotonic()
            steps = [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in full_proof]
            verdict = nn.check_proof(nvars, clauses, steps)
            print(f"c check_proof: {verdict[1]} ({verdict[2]} steps, {time.monotonic() - t3:.3f}s)")
            if not verdict[0]:
                print("c error: the proof of unsatisfiability did not check", file=sys.stderr)
                print("s UNKNOWN")
                return 1
        print("s UNSATISFIABLE")
        return EXIT_UNSAT
    if answer is None:
        print("s UNKNOWN")
        return EXIT_UNKNOWN
    if pre is not None:
        model = pre.reconstruct(model)
    model = list(model[:nvars]) + [False] * max(0, nvars - len(model))
    if not satisfies_dimacs(dimacs, model):
        print("c error: the model does not satisfy the formula", file=sys.stderr)
        print("s UNKNOWN")
        return 1
    print("s SATISFIABLE")
    lits = [str(v + 1) if b else str(-(v + 1)) for v, b in enumerate(model)]
    line = "v"
    out = []
    for t in lits + ["0"]:
        if len(line) + 1 + len(t) > 78:
            out.append(line)
            line = "v"
        line += " " + t
    out.append(line)
    print("\n".join(out))
    return EXIT_SAT


# ---------------------------------------------------------------------------
# check, preprocess


def cmd_check(args):
    nvars, dimacs = parse_dimacs(args.cnf)
    steps = parse_drat(args.proof)
    t0 = time.monotonic()
    ok, msg, nsteps, rup, rat, deleted, skipped, rat_checks, failed, empty = nn.check_proof(
        nvars, to_internal(dimacs), steps, check_rat=not args.no_rat, apply_deletions=not args.ignore_deletions)
    print(f"c steps {nsteps} rup {rup} rat {rat} deleted {deleted} skipped {skipped} rat_checks {rat_checks} "
          f"({time.monotonic() - t0:.3f}s)")
    if failed >= 0:
        print(f"c failed at step {failed}")
    print(f"c {msg}")
    print("s VERIFIED" if ok else "s NOT VERIFIED")
    return 0 if ok else 1


def cmd_preprocess(args):
    nvars, dimacs = parse_dimacs(args.cnf)
    pre = nn.Preprocessor(nvars, do_bve=not args.no_bve, max_resolvent_len=args.max_resolvent_len)
    for v in args.freeze:
        if not 1 <= v <= nvars:
            raise InputError(f"--freeze {v}: not a variable of {args.cnf}")
        pre.freeze(v - 1)
    for c in to_internal(dimacs):
        pre.add_clause(c)
    t0 = time.monotonic()
    pre.run(args.rounds)
    reduced = pre.reduced()
    out_nvars = max(nvars, pre.nvars)
    text = io.StringIO()
    text.write(f"c preprocessed by norvane_native {nn.__version__} from {args.cnf}\n")
    text.write(f"c eliminated {pre.eliminated_vars} subsumed {pre.subsumed} strengthened {pre.strengthened} "
               f"units {pre.units} pure {pre.pure}\n")
    text.write(f"p cnf {out_nvars} {len(reduced)}\n")
    for c in reduced:
        text.write(" ".join(str(nn.to_dimacs(l)) for l in c) + (" 0\n" if c else "0\n"))
    if args.output == "-":
        sys.stdout.write(text.getvalue())
    else:
        Path(args.output).write_text(text.getvalue())
    print(f"c {len(dimacs)} -> {len(reduced)} clauses in {time.monotonic() - t0:.3f}s", file=sys.stderr)
    return 0


# ---------------------------------------------------------------------------
# Command line


def build_parser():
    p = argparse.ArgumentParser(prog="nvsat", description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="command", required=True)

    s = sub.add_parser("solve", help="decide a DIMACS CNF formula", description=(
        "Decide a DIMACS CNF formula (plain, .gz, .xz or .bz2; '-' for standard input) and print the "
        "SAT-competition answer: 's SATISFIABLE' with 'v' model lines (exit 10), 's UNSATISFIABLE' (exit 20) "
        "or 's UNKNOWN' (exit 0). Without FILE it solves the bundled example. Progress goes to standard error: "
        "the solver runs in conflict-budget slices (--slice) and every slice ends with a restart of the search, "
        "so the search with progress differs from one uninterrupted solve; --quiet solves in one call."))
    s.add_argument("file", nargs="?", help=f"DIMACS CNF file (default: {DEFAULT_INSTANCE.name} from examples/)")
    s.add_argument("--preprocess", action="store_true", help="simplify first, solve the reduced formula, "
                   "extend its model and check it against the original formula")
    s.add_argument("--proof", metavar="FILE", help="write a DRAT text proof of unsatisfiability to FILE")
    s.add_argument("--check", action="store_true", help="verify the proof with check_proof before answering UNSAT")
    s.add_argument("--portfolio", type=int, metavar="N", help="race N diversified solvers in threads")
    s.add_argument("--time-limit", type=float, metavar="S", help="give up with UNKNOWN after S seconds")
    s.add_argument("--conflicts", type=int, metavar="N", help="give up with UNKNOWN after N conflicts")
    s.add_argument("--slice", type=int, default=20000, metavar="N",
                   help="conflicts per progress slice (default 20000)")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress lines; solve in one call")
    g = s.add_argument_group("solver options (see norvane_native.Solver)")
    for name, typ, default in SOLVER_OPTIONS:
        flag = "--" + name.replace("_", "-")
        if typ is bool:
            g.add_argument(flag, dest=name, action=argparse.BooleanOptionalAction, default=default,
                           help=f"(default {'on' if default else 'off'})")
        elif name in ("restart", "ccmin"):
            choices = ["glucose", "luby", "none"] if name == "restart" else ["deep", "basic", "none"]
            g.add_argument(flag, dest=name, choices=choices, default=default, help=f"(default {default})")
        else:
            g.add_argument(flag, dest=name, type=typ, default=default, metavar="X", help=f"(default {default})")
    s.set_defaults(func=cmd_solve)

    c = sub.add_parser("check", help="verify a DRAT text proof", description=(
        "Verify a DRAT text proof (one step a line, 'd' marks deletions) against a DIMACS CNF formula with "
        "check_proof. Prints the verdict and counters; exit 0 when the proof is accepted, 1 when rejected."))
    c.add_argument("cnf")
    c.add_argument("proof")
    c.add_argument("--no-rat", action="store_true", help="accept RUP lemmas only")
    c.add_argument("--ignore-deletions", action="store_true", help="do not carry out deletion steps")
    c.set_defaults(func=cmd_check)

    r = sub.add_parser("preprocess", help="simplify a formula and write it as DIMACS", description=(
        "Run the preprocessor (unit propagation, subsumption, self-subsuming resolution, pure literals, "
        "bounded variable elimination) and write the reduced formula as DIMACS CNF."))
    r.add_argument("cnf")
    r.add_argument("-o", "--output", required=True, help="output file ('-' for standard output)")
    r.add_argument("--rounds", type=int, default=3, help="simplification rounds (default 3)")
    r.add_argument("--no-bve", action="store_true", help="no bounded variable elimination")
    r.add_argument("--max-resolvent-len", type=int, default=20, help="longest resolvent BVE may add (default 20)")
    r.add_argument("--freeze", type=int, action="append", default=[], metavar="VAR",
                   help="DIMACS variable that must not be eliminated (repeatable)")
    r.set_defaults(func=cmd_preprocess)
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except InputError as e:
        print(f"nvsat: {e}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("s UNKNOWN")
        return EXIT_UNKNOWN


if __name__ == "__main__":
    sys.exit(main())
