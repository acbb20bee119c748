#!/usr/bin/env python3
"""Long differential fuzzing run of the whole engine.

Every case draws a random formula (empty up to a few hundred variables; random clause lengths, literal
orders, duplicate literals, tautologies, repeated clauses, unit and empty clauses; sometimes a declared
variable count below what the literals need) and sends it down every road the module offers:

  * Solver with a random configuration of all twenty options and proof logging, sometimes fed in two
    batches with a solve in between that a conflict budget or an expired time limit may cut short;
  * a second Solver with another random configuration;
  * Preprocessor (random options, random frozen variables) -> Solver on the reduced formula ->
    reconstruct, the clauses fed in up to five batches (one by one, as a list or as a ClauseDb) with
    freezes and a run between them, and every batch checked on its own (answer, extended model,
    proof, brute force);
  * solve_portfolio with one to three random workers, sometimes with the reduced formula as the
    alternative formula.

Checks: every answer agrees (and agrees with brute force where the formula is small); every model
satisfies the formula it was found for (reconstructed models the original formula); every proof --
the solver's, the preprocessor's followed by the solver's, the portfolio winner's -- is accepted by
check_proof, and on satisfiable formulas every recorded lemma still verifies; check_watch_invariant()
is empty after every solve; a rerun of the same configuration repeats counters, model and proof; the
portfolio winner reports what its configuration gives when run alone; nothing raises.

    python3 bench/fuzz.py --seed 1 --cases 100000 --jobs 2
    python3 bench/fuzz.py --seed 1 --case 4711 -v      # replay one case
    python3 bench/fuzz.py --roads pre --max-vars 16 --large 0 --hard 0 --cases 10000   # batches only

Prints the number of cases run and every disagreement (with the case number to replay it).
"""
from __future__ import annotations

import argparse
import collections
import multiprocessing
import os
import random
import sys
import time
import traceback

import norvane_native as nn

RESTARTS = ["glucose", "luby", "none"]
CCMINS = ["deep", "basic", "none"]


# ---------------------------------------------------------------------------
# Random inputs


def random_options(rng: random.Random, tame=False) -> dict:
    """All twenty solver options, from sensible ranges and their edges.  `tame` keeps random
    decisions rare, restarts spaced and some learned clauses alive: on a few hundred variables a search
    of random decisions, or one that restarts and forgets its learned clauses at every conflict, can
    run for hours."""
    pick = rng.choice
    return dict(
        restart=pick(RESTARTS),
        ccmin=pick(CCMINS),
        phase_saving=pick([True, False]),
        init_phase=pick([True, False]),
        target_phase=pick([True, False]),
        target_reset=pick([0, 0, 1, 2, 3, 7, 1000]),
        walk_flips=pick([0, 1, 5, 50, 500, 20000]),
        walk_interval=pick([0, 1, 1, 2, 3, 5]),
        walk_patience=pick([0, 1, 3, 10]),
        walk_min_conflicts=pick([0, 0, 1, 10, 100, 5000]),
        var_decay=pick([0.5, 0.8, 0.9, 0.95, 0.999, 1.0, rng.uniform(0.5, 1.0)]),
        var_decay_max=pick([0.5, 0.8, 0.95, 0.999, 1.0, rng.uniform(0.5, 1.0)]),
        cla_decay=pick([0.5, 0.9, 0.999, 1.0, rng.uniform(0.5, 1.0)]),
        luby_base=pick([1.0, 10.0, 100.0] if tame else [-5.0, 0.0, 0.5, 1.0, 2.0, 10.0, 100.0,
                                                         rng.uniform(0.0, 50.0)]),
        first_reduce=pick([100, 2000] if tame else [0, 1, 2, 10, 100, 2000]),
        reduce_inc=pick([10, 300] if tame else [0, 1, 10, 300]),
        glue_keep=pick([0, 1, 2, 3, 5, 2**32 - 1]),
        block_restart=pick([True, False]),
        rnd_freq=pick([0.0, 0.0, 0.01, 0.05] if tame else [0.0, 0.0, 0.01, 0.1, 0.5, 1.0, rng.random()]),
        rnd_seed=pick([0, 1, 91648253, 2**32 - 1, rng.randrange(2**32)]),
    )


def random_formula(rng: random.Random, max_vars: int, medium=0.25, large=0.05, hard=0.003):
    """(declared nvars, clauses of internal literals): up to 12 variables, 13 to 60 (a `medium`
    share), 61 to max_vars (a `large` share, easy ones), or random 3-SAT near its threshold on 100 to
    200 variables (a `hard` share: thousands of conflicts, so reductions, walks and restart blocking
    all come into play)."""
    r = rng.random()
    if r < hard:
        n = rng.randint(100, 200)
        clauses = [[rng.randrange(2 * n) for _ in range(3)] for _ in range(round(n * rng.uniform(4.1, 4.4)))]
        return n, clauses
    if r < 1 - medium - large:
        n = rng.randint(0, 12)
    elif r < 1 - large:
        n = rng.randint(13, min(60, max_vars))
    else:
        n = rng.randint(min(61, max_vars), max_vars)
    clauses = []
    if n > 60:
        clauses = big_formula(rng, n)
    elif n:
        maxlen = rng.choice([2, 3, 4, 5, 8])
        ratio = rng.uniform(0.0, 8.0)
        p_unit = rng.choice([0.0, 0.02, 0.1, 0.3])
        p_empty = 0.002 if rng.random() < 0.1 else 0.0
        for _ in range(round(n * ratio) + rng.randint(0, 3)):
            u = rng.random()
            k = 0 if u < p_empty else 1 if u < p_empty + p_unit else rng.randint(2, maxlen)
            clauses.append([rng.randrange(2 * n) for _ in range(k)])
    elif rng.random() < 0.2:
        clauses = [[]]
    # literal orders, duplicates and repeated clauses
    for _ in range(rng.choice([0, 0, 1, 3])):
        if clauses:
            c = list(rng.choice(clauses))
            if c and rng.random() < 0.5:
                c.append(rng.choice(c))
            rng.shuffle(c)
            clauses.insert(rng.randrange(len(clauses) + 1), c)
    declared = n if rng.random() < 0.85 else rng.randint(0, n)
    return declared, clauses


def big_formula(rng: random.Random, n: int):
    """A formula over n > 60 variables that a solver settles in modest time: random 3-SAT below the
    threshold, a 2-SAT-heavy mix, or either with a small unsatisfiable core hidden among the variables."""
    if rng.random() < 0.5:
        clauses = [[rng.randrange(2 * n) for _ in range(3)] for _ in range(round(n * rng.uniform(1.0, 3.8)))]
    else:
        clauses = [[rng.randrange(2 * n) for _ in range(rng.choice([2, 2, 3]))]
                   for _ in range(round(n * rng.uniform(0.3, 1.1)))]
    if rng.random() < 0.4:
        k = rng.randint(4, 10)
        core_vars = rng.sample(range(n), k)
        while True:
            core = [[rng.randrange(2 * k) for _ in range(3)] for _ in range(8 * k)]
            if not brute_force(k, core):
                break
        for c in core:
            clauses.insert(rng.randrange(len(clauses) + 1), [2 * core_vars[l >> 1] + (l & 1) for l in c])
    return clauses


# ---------------------------------------------------------------------------
# Ground truth


def num_vars(nvars, clauses):
    return max([nvars] + [(l >> 1) + 1 for c in clauses for l in c])


def satisfies(clauses, model):
    """Does a model (bools by variable) satisfy the clauses?  A variable beyond the model satisfies
    nothing (the solver creates no variable for the rest of a clause it drops as a tautology)."""
    n = len(model)
    return all(any((l >> 1) < n and model[l >> 1] != bool(l & 1) for l in c) for c in clauses)


_TABLES: dict = {}


def brute_force(n, clauses):
    """Satisfiability by truth tables held in one big integer per variable."""
    if n not in _TABLES:
        size = 1 << n
        full = (1 << size) - 1
        tables = []
        for i in range(n):
            half = 1 << i
            period = (1 << (2 * half)) - 1
            block = ((1 << half) - 1) << half
            tables.append(block * (full // period))
        _TABLES[n] = (full, tables)
    full, tables = _TABLES[n]
    acc = full
    for c in clauses:
        t = 0
        for l in c:
            x = tables[l >> 1]
            t |= (full ^ x) if l & 1 else x
        acc &= t
        if not acc:
            return False
    return True


def to_steps(pairs):
    """(kind "a"/"d", DIMACS) pairs -> check_proof steps."""
    return [(k == "d", [nn.from_dimacs(d) for d in lits]) for k, lits in pairs]


def flag_steps(pairs):
    """(is_deletion, DIMACS) pairs of solve_portfolio -> check_proof steps."""
    return [(d, [nn.from_dimacs(x) for x in lits]) for d, lits in pairs]


STATS = ["conflicts", "decisions", "propagations", "restarts", "learned", "learned_lits", "minimized_lits",
         "reductions", "blocked_restarts", "deleted", "max_trail"]


# ---------------------------------------------------------------------------
# One case


class Case:
    def __init__(self, seed, index, max_vars, brute_limit, shares=(0.25, 0.05, 0.003), roads="all"):
        self.rng = random.Random(f"{seed}:{index}")
        self.roads = roads
        self.shares = shares
        self.index = index
        self.max_vars = max_vars
        self.brute_limit = brute_limit
        self.faults: list[str] = []
        self.answers: list[tuple[str, bool]] = []
        self.events: collections.Counter = collections.Counter()  # what the case went through

    def fault(self, what):
        self.faults.append(what)

    def check_proof(self, label, nvars, clauses, steps, want_ok):
        res = nn.check_proof(nvars, clauses, steps, check_rat=False)
        if want_ok and not res[0]:
            self.fault(f"{label}: proof rejected: {res[1]} at step {res[8]} of {len(steps)}")
        if not want_ok and res[1] not in ("every step verified, but the proof never derives the empty clause",):
            self.fault(f"{label}: lemmas of a satisfiable run do not verify: {res[1]} at step {res[8]}")

    def solve(self, label, nvars, clauses, opts, proof, cuts=(), budgets=(), drip=None, extra_vars=()):
        """One Solver run, fed in batches split at `cuts` with a solve after each (limited by the
        matching entry of `budgets`), with `extra_vars[k]` calls of new_var() after batch k; the last
        solve runs to the end, or, with `drip`, in slices of that many conflicts.
        Checks the run's own consistency and returns it with its answer."""
        s = nn.Solver(nvars, **opts)
        if proof:
            s.enable_proof()
        bounds = [0, *cuts, len(clauses)]
        parts = [clauses[a:b] for a, b in zip(bounds, bounds[1:])]
        ans = None
        for k, part in enumerate(parts):
            for c in part:
                s.add_clause(c)
            last = k == len(parts) - 1
            budget = None if last else budgets[k]
            if last and drip:
                # every slice ends in a restart, which can make a hard search very much longer: after
                # a few thousand slices the rest runs in one go
                for _ in range(2000):
                    ans = s.solve(max_conflicts=drip)
                    if ans is not None:
                        break
                else:
                    ans = s.solve()
            elif budget is None:
                ans = s.solve()
            elif isinstance(budget, float):
                ans = s.solve(seconds=budget)  # 0.0: stops at the first search step, deterministically
            else:
                ans = s.solve(max_conflicts=budget)
            bad = s.check_watch_invariant()
            if bad:
                self.fault(f"{label}: watch invariant: {bad[:3]}")
            seen = [c for p in parts[:k + 1] for c in p]
            if ans is True:
                if len(s.model) != s.nvars or s.nvars < nvars:
                    self.fault(f"{label}: model of {len(s.model)} values for {s.nvars} variables")
                elif not satisfies(seen, s.model):
                    self.fault(f"{label}: model does not satisfy the formula")
            elif ans is False:
                if s.ok or s.model:
                    self.fault(f"{label}: Unsat but ok={s.ok} model={s.model}")
                if not last:
                    ans = s.solve()
                    break
            elif last:
                self.fault(f"{label}: Unknown without a limit")
            if not last:
                for _ in range(extra_vars[k] if k < len(extra_vars) else 0):
                    v = s.nvars
                    if s.new_var() != v or s.nvars != v + 1:
                        self.fault(f"{label}: new_var() did not add variable {v}")
                ans = None
        if proof and ans is not None:
            self.check_proof(label, nvars, clauses if ans is False else [c for p in parts for c in p],
                             to_steps(s.proof_steps()), want_ok=ans is False)
        return ans, s

    def snapshot(self, s):
        return [getattr(s, k) for k in STATS], s.model, s.proof_steps(), s.ok

    def run(self):
        rng = self.rng
        nvars, clauses = random_formula(rng, self.max_vars, *self.shares)
        n_all = num_vars(nvars, clauses)
        self.size = (n_all, len(clauses))
        self.tame = n_all > 60
        if self.roads == "pre":
            self.preprocess(nvars, clauses, n_all)
            return

        # Solver A: proof logging, sometimes fed in batches with a limited solve after each
        opts_a = random_options(rng, self.tame)
        cuts, budgets, extra = (), (), ()
        if clauses and rng.random() < 0.3:
            cuts = sorted(rng.randrange(len(clauses) + 1) for _ in range(rng.randint(1, 4)))
            budgets = [rng.choice([None, 0, 1, 5, 50, 0.0]) for _ in cuts]
            extra = [rng.choice([0, 0, 0, 1, 3]) for _ in cuts]
        drip = rng.choice([1, 7, 100]) if rng.random() < 0.1 else None
        run_a = dict(cuts=cuts, budgets=budgets, drip=drip, extra_vars=extra)
        ans_a, sa = self.solve("solver A", nvars, clauses, opts_a, True, **run_a)
        self.answers.append(("solver A", ans_a))
        if n_all <= 60 or rng.random() < 0.2:
            _, sa2 = self.solve("solver A rerun", nvars, clauses, opts_a, True, **run_a)
            if self.snapshot(sa) != self.snapshot(sa2):
                self.fault("solver A: two identical runs differ")

        # Solver B: another configuration, no proof
        ans_b, _ = self.solve("solver B", nvars, clauses, random_options(rng, self.tame), False)
        self.answers.append(("solver B", ans_b))

        # Preprocessor -> Solver -> reconstruct
        reduced, pre_nvars = self.preprocess(nvars, clauses, n_all)

        # Portfolio
        self.portfolio(nvars, clauses, reduced, pre_nvars)

        # Agreement
        truth = None
        if n_all <= self.brute_limit:
            truth = brute_force(n_all, clauses)
            self.answers.append(("brute force", truth))
        values = {a for _, a in self.answers}
        if len(values) != 1:
            self.fault("answers disagree: " + ", ".join(f"{k}={v}" for k, v in self.answers))

    def preprocess(self, nvars, clauses, n_all):
        """Preprocessor -> Solver -> reconstruct, the clauses fed in one to five batches.  Before each
        later batch some variables are frozen (an eliminated one comes back); every batch is added
        clause by clause or in bulk (a list or a ClauseDb) and followed by a run.  After each run the
        reduced formula is solved and the answer, the extended model and the proof (preprocessor's
        steps, then the solver's) are checked against the clauses added so far, and against brute force
        where the formula is small.  Returns the last reduced formula (None when refuted) and the
        preprocessor's variable count."""
        rng = self.rng
        pre = nn.Preprocessor(nvars, do_bve=rng.random() < 0.8,
                              max_resolvent_len=rng.choice([0, 1, 2, 3, 5, 20, 2**64 - 1]), with_proof=True)
        frozen = [v for v in range(n_all) if rng.random() < rng.choice([0.0, 0.0, 0.1, 0.5])]
        for v in frozen:
            pre.freeze(v)
        batches = 1 if rng.random() < 0.4 else rng.randint(2, 5)
        bounds = [0, *sorted(rng.randrange(len(clauses) + 1) for _ in range(batches - 1)), len(clauses)]
        need = max([nvars] + [v + 1 for v in frozen])
        ok, reduced = True, None
        for k in range(batches):
            if k > 0:
                for v in rng.sample(range(n_all + 3), rng.choice([0, 0, 1, 3])):
                    pre.freeze(v)
                    need = max(need, v + 1)
            part = clauses[bounds[k]:bounds[k + 1]]
            how = rng.random()
            if how < 0.6:
                for c in part:
                    pre.add_clause(c)
            elif how < 0.8:
                stored = pre.add_clauses(part)
                if stored != sum(1 for c in part if not any(l ^ 1 in c for l in c)):
                    self.fault(f"preprocessor: add_clauses stored {stored} of {len(part)}")
            else:
                db = nn.ClauseDb()
                for c in part:
                    db.add_clause(c)
                if pre.add_clauses(db) != len(db):
                    self.fault("preprocessor: add_clauses(ClauseDb) did not store every clause")
            # a round settles late clauses over variables fixed earlier; run(0) alone would not
            for rounds in [rng.choice([1, 1, 2, 3, 10])] + ([rng.randint(0, 3)] if rng.random() < 0.2 else []):
                ok = pre.run(rounds) and ok
            seen = clauses[:bounds[k + 1]]
            ans, reduced = self.check_preprocessed(pre, nvars, need, seen, ok, f"batch {k + 1} of {batches}")
        self.answers.append(("preprocessor+solver", ans))
        return reduced, pre.nvars

    def check_preprocessed(self, pre, nvars, need, seen, ok, label):
        rng = self.rng
        reduced = pre.reduced()
        pre_proof = to_steps(pre.proof_steps())
        # Clauses put back for a reactivated variable are implied by what the checker has seen only
        # while it keeps deleted clauses.
        deletions = pre.reactivated == 0
        self.events["batches checked"] += 1
        if not deletions:
            self.events["batches after a reactivation"] += 1
        truth = brute_force(num_vars(nvars, seen), seen) if num_vars(nvars, seen) <= self.brute_limit else None
        if pre.nvars < need:
            self.fault(f"preprocessor: nvars {pre.nvars} below the variables declared and frozen")
        if not ok:
            if not pre.unsat or reduced != [[]]:
                self.fault(f"preprocessor: run() False but unsat={pre.unsat} reduced={reduced[:3]}")
            if truth:
                self.fault(f"preprocessor, {label}: refuted a satisfiable formula")
            res = nn.check_proof(nvars, seen, pre_proof, check_rat=False, apply_deletions=deletions)
            self.events["refutations checked" + ("" if deletions else " without deletions")] += 1
            if not res[0]:
                self.fault(f"preprocessor proof, {label}: rejected: {res[1]} at step {res[8]}")
            return False, None
        if pre.unsat:
            self.fault("preprocessor: unsat set but run() returned True")
        if any(l >= 2 * pre.nvars for c in reduced for l in c):
            self.fault("preprocessor: reduced formula names variables beyond nvars")
        ans, s = self.solve("preprocessed solver", pre.nvars, reduced, random_options(rng, self.tame), True)
        if truth is not None and ans != truth:
            self.fault(f"preprocessor+solver, {label}: answer {ans}, brute force {truth}")
        if ans is True:
            try:
                full = pre.reconstruct(s.model)
            except ValueError as e:
                self.fault(f"reconstruct refused a model of the reduced formula ({label}): {e}")
            else:
                # a tautology given through a ClauseDb never reaches the preprocessor, so it may name
                # variables beyond nvars: any value satisfies it
                padded = full + [False] * (num_vars(nvars, seen) - len(full))
                self.events["models extended"] += 1
                if len(full) != pre.nvars or not satisfies(seen, padded):
                    self.fault(f"reconstructed model does not satisfy the formula ({label})")
        elif ans is False:
            res = nn.check_proof(nvars, seen, pre_proof + to_steps(s.proof_steps()), check_rat=False,
                                 apply_deletions=deletions)
            self.events["refutations checked" + ("" if deletions else " without deletions")] += 1
            if not res[0]:
                self.fault(f"preprocessor+solver proof, {label}: rejected: {res[1]} at step {res[8]}")
        return ans, reduced

    def portfolio(self, nvars, clauses, reduced, pre_nvars):
        rng = self.rng
        configs = [random_options(rng, self.tame) for _ in range(rng.randint(1, 3))]
        alt, alt_threads = None, 0
        use_alt = reduced is not None and rng.random() < 0.3
        if use_alt:
            alt, alt_threads = reduced, rng.randint(0, len(configs))
            # the reduced formula may name fewer variables than the original; keep nvars the larger
            nvars = max(nvars, pre_nvars)
        res = nn.solve_portfolio(nvars, clauses, configs, alt=alt, alt_threads=alt_threads, want_proof=True)
        worker, formula, sat, model, conflicts, decisions, props, restarts, proof = res
        solved = alt if formula == 1 else clauses
        self.answers.append(("portfolio", sat))
        if not 0 <= worker < len(configs):
            self.fault(f"portfolio: winner {worker} of {len(configs)}")
            return
        expect_alt = use_alt and worker >= len(configs) - min(alt_threads, len(configs))
        if (formula == 1) != expect_alt:
            self.fault(f"portfolio: worker {worker} reports formula {formula}")
        if sat:
            if proof:
                self.fault("portfolio: proof on a Sat answer")
            if not satisfies(solved, model):
                self.fault("portfolio: model does not satisfy the formula solved")
        else:
            if model:
                self.fault("portfolio: model on an Unsat answer")
            self.check_proof("portfolio proof", nvars, solved, flag_steps(proof), want_ok=True)
        # the winner ran to the end undisturbed: it reports what its configuration does alone
        s = nn.Solver(nvars, **configs[worker])
        s.enable_proof()
        ok = all([s.add_clause(c) for c in solved])
        alone = s.solve() if ok else False
        got = (sat, model, conflicts, decisions, props, restarts, proof)
        want = (alone, s.model, s.conflicts, s.decisions, s.propagations, s.restarts,
                [(k == "d", l) for k, l in s.proof_steps()] if not alone else [])
        if got != want:
            self.fault(f"portfolio: winner {worker} differs from its configuration alone")


def run_case(seed, index, max_vars, brute_limit, shares=(0.25, 0.05, 0.003), roads="all"):
    case = Case(seed, index, max_vars, brute_limit, shares, roads)
    try:
        case.run()
    except BaseException as e:  # noqa: BLE001 - any exception is a fault worth reporting
        case.fault("raised " + "".join(traceback.format_exception_only(type(e), e)).strip())
    return index, getattr(case, "size", None), case.faults, case.events


def _worker(args):
    seed, start, stop, max_vars, brute_limit, shares, roads = args
    out = []
    for i in range(start, stop):
        t0 = time.perf_counter()
        _, size, faults, events = run_case(seed, i, max_vars, brute_limit, shares, roads)
        out.append((i, size, faults, events, time.perf_counter() - t0))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cases", type=int, default=1000)
    ap.add_argument("--start", type=int, default=0, help="first case number")
    ap.add_argument("--case", type=int, help="run only this case number")
    ap.add_argument("--max-vars", type=int, default=300)
    ap.add_argument("--brute-limit", type=int, default=16, help="brute force up to this many variables")
    ap.add_argument("--medium", type=float, default=0.25, help="share of formulas with 13 to 60 variables")
    ap.add_argument("--large", type=float, default=0.05, help="share of easy formulas with more than 60 variables")
    ap.add_argument("--hard", type=float, default=0.003, help="share of random 3-SAT near the threshold")
    ap.add_argument("--roads", choices=["all", "pre"], default="all",
                    help="every road, or only Preprocessor -> Solver -> reconstruct in batches")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()

    if args.case is not None:
        _, size, faults, _ = run_case(args.seed, args.case, args.max_vars, args.brute_limit,
                                   (args.medium, args.large, args.hard), args.roads)
        print(f"case {args.case}: {size[0] if size else '?'} variables, {size[1] if size else '?'} clauses")
        for f in faults:
            print("  FAULT", f)
        return 1 if faults else 0

    t0 = time.perf_counter()
    chunk = 500
    tasks = [(args.seed, s, min(s + chunk, args.start + args.cases), args.max_vars, args.brute_limit,
              (args.medium, args.large, args.hard), args.roads)
             for s in range(args.start, args.start + args.cases, chunk)]
    ran = faulty = 0
    brute = 0
    largest = 0
    if args.jobs > 1:
        pool = multiprocessing.Pool(args.jobs, initializer=os.nice, initargs=(5,))
        results = pool.imap_unordered(_worker, tasks)
    else:
        results = map(_worker, tasks)
    slow = []
    events = collections.Counter()
    for batch in results:
        for i, size, faults, evs, secs in batch:
            ran += 1
            events.update(evs)
            slow = sorted(slow + [(secs, i, size)], reverse=True)[:5]
            if size:
                largest = max(largest, size[0])
                brute += size[0] <= args.brute_limit
            if faults:
                faulty += 1
                print(f"case {i} (seed {args.seed}): " + "; ".join(faults), flush=True)
        if args.verbose:
            print(f"  {ran} cases, {faulty} with faults, {time.perf_counter() - t0:.0f} s", file=sys.stderr)
    if args.jobs > 1:
        pool.close()
        pool.join()
    print(f"seed {args.seed}: {ran} cases run ({brute} checked against brute force, up to {largest} variables), "
          f"{faulty} with disagreements or faults, {time.perf_counter() - t0:.1f} s")
    if events:
        print("  " + ", ".join(f"{k}: {v}" for k, v in sorted(events.items())))
    if args.verbose:
        for secs, i, size in slow:
            print(f"  slowest: case {i}, {size[0] if size else '?'} variables, {secs:.2f} s")
    return 1 if faulty else 0


if __name__ == "__main__":
    sys.exit(main())
