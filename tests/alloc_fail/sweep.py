"""Allocation-failure sweep of one PyQorRouter method, run in a process that
has the allocation-failure library preloaded (see alloc_fail.cpp).

    python sweep.py SHIM METHOD WORKDIR

For n = 1, 2, ... the method is called with the n-th C++ allocation made to
fail, until a call succeeds without meeting the failure. Every call that
fails must raise MemoryError and leave behind exactly what was there before:
the router's state and answers, the files in WORKDIR, the open descriptors,
and no lock on the save's temporary file. A call that succeeds must give the
answer an undisturbed call gives. The first call that breaks a rule ends the
sweep (a leaked lock would make the next save wait forever).

Prints one JSON object: the method, how many calls failed with MemoryError,
how many allocations the successful call made, how many injected failures a
call absorbed and still succeeded, and the problems found (empty when sound).
"""

import contextlib
import ctypes
import fcntl
import itertools
import json
import logging
import os
import pathlib
import sys

import numpy as np

import nuvaris_qor_router as qor

DIM = 8
# Far more allocations than any method makes on the small state below; a
# sweep that reaches it is reported rather than run forever.
MAX_ALLOCATIONS = 20000


def corpus(seed, rows, docs):
    vectors = np.random.default_rng(seed).standard_normal((rows, DIM)).astype(np.float32)
    edges = np.linspace(0, rows, docs + 1).astype(int).tolist()
    return vectors, [100 * seed + k for k in range(docs)], list(itertools.pairwise(edges))


def built(seed, rows=40, docs=4, n_fine=16, n_coarse=4):
    r = qor.PyQorRouter(DIM)
    r.build(*corpus(seed, rows, docs), n_fine=n_fine, n_coarse=n_coarse)
    return r


QUERIES = [np.random.default_rng(11).standard_normal((n, DIM)).astype(np.float32) for n in (1, 3)]


def changes(before, after):
    """What differs between two views of a directory, in words."""
    return "; ".join(
        [f"{name} appeared" for name in sorted(after.keys() - before.keys())]
        + [f"{name} disappeared" for name in sorted(before.keys() - after.keys())]
        + [f"{name} rewritten" for name in sorted(before.keys() & after.keys()) if before[name] != after[name]]
    )


class Sweep:
    def __init__(self, shim, workdir):
        self.lib = ctypes.CDLL(shim)
        self.lib.alloc_fail_disarm.restype = ctypes.c_long
        self.work = pathlib.Path(workdir)
        # A long directory name, so that no copy of it fits in a string's
        # inline buffer and every path handled by save allocates.
        self.files = self.work / "a-directory-name-longer-than-any-inline-string-buffer"
        self.files.mkdir(parents=True, exist_ok=True)
        self.snapshot_path = self.work / "snapshot" / "state.qor"

    def snapshot(self, r):
        """Everything the router shows: counts, its saved bytes, its answers."""
        view = [r.is_ready(), r.n_docs(), r.n_fine(), r.n_coarse()]
        if r.is_ready():
            r.save(str(self.snapshot_path))
            view.append(self.snapshot_path.read_bytes())
            for q in QUERIES:
                view.append(
                    (
                        r.route_query(q, n_probes=3, max_candidates=50),
                        r.get_cluster_entries(q, n_probes=3),
                        r.compute_query_profile(q, n_probes=3),
                        r.query_cluster_overlaps(q, n_probes=3),
                    )
                )
        return view

    def files_view(self):
        return {p.name: p.read_bytes() for p in sorted(self.files.iterdir())}

    @staticmethod
    def descriptors():
        fds = {}
        for name in os.listdir("/proc/self/fd"):
            with contextlib.suppress(OSError):  # the listing's own descriptor, closed by now
                fds[name] = os.readlink(f"/proc/self/fd/{name}")
        return fds

    def locked(self, path):
        """True when some open file description holds a lock on `path`."""
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        finally:
            os.close(fd)
        return False

    def run(self, method, prepare, call, result_of, initial_files=None, temporary=None):
        """prepare() -> subject; call(subject) -> value; result_of(subject,
        value) -> what a correct call yields, compared against an undisturbed
        call's. Every call starts with exactly `initial_files` in the files
        directory; `temporary` is a path that no call may leave locked."""
        initial_files = initial_files or {}
        reference_subject = prepare()
        expected = result_of(reference_subject, call(reference_subject))
        expected_files = self.files_view()
        failed = absorbed = 0
        report = {"method": method, "problems": []}
        for n in range(1, MAX_ALLOCATIONS + 1):
            # Each attempt starts from the same files and a fresh subject.
            for p in self.files.iterdir():
                p.unlink()
            for name, data in initial_files.items():
                (self.files / name).write_bytes(data)
            subject = prepare()
            before = result_of(subject, None)
            files_before = self.files_view()
            fds_before = self.descriptors()
            self.lib.alloc_fail_arm(n)
            try:
                value = call(subject)
                error = None
            except BaseException as e:  # every kind is judged below
                value, error = None, e
            counted = self.lib.alloc_fail_disarm()
            fired = bool(self.lib.alloc_fail_fired())
            problems = []
            if error is None:
                if result_of(subject, value) != expected:
                    problems.append("the call succeeded with a wrong result")
                if changed := changes(expected_files, self.files_view()):
                    problems.append(f"the call succeeded but the files differ from an undisturbed call's: {changed}")
            else:
                if not fired:
                    problems.append(f"failed with no injected failure: {type(error).__name__}: {error}")
                elif not isinstance(error, MemoryError):
                    problems.append(f"raised {type(error).__name__}: {error} instead of MemoryError")
                if result_of(subject, None) != before:
                    problems.append("the router changed")
                if changed := changes(files_before, self.files_view()):
                    problems.append(f"the files changed: {changed}")
            leaked = {k: v for k, v in self.descriptors().items() if fds_before.get(k) != v}
            if leaked:
                problems.append(f"descriptors left open: {sorted(leaked.values())}")
            if temporary is not None and self.locked(temporary):
                problems.append("the temporary file is still locked")
            if problems:
                report["problems"] = [f"allocation {n}: {p}" for p in problems]
                break
            if error is not None:
                failed += 1
            elif fired:
                absorbed += 1
            else:
                report["allocations"] = counted
                break
        else:
            report["problems"].append(f"still failing after {MAX_ALLOCATIONS} allocations")
        report["failed_calls"] = failed
        report["absorbed"] = absorbed
        return report


def main():
    shim, method, workdir = sys.argv[1:4]
    # Progress reporting on (into a handler that drops the records), so the
    # allocations that build its lines are swept too.
    log = logging.getLogger("nuvaris_qor_router")
    log.setLevel(logging.INFO)
    log.addHandler(logging.NullHandler())
    log.propagate = False

    s = Sweep(shim, workdir)
    target = s.files / "router.qor"
    state = built(1)

    def other():
        """A router holding another state, which a failed call must keep."""
        return built(2, rows=30, docs=3, n_fine=8, n_coarse=2)

    def whole_router(r, _value):
        return s.snapshot(r)

    def value_and_router(r, value):
        return value, s.snapshot(r)

    if method == "new":
        report = s.run(method, lambda: None, lambda _: qor.PyQorRouter(DIM), lambda _s, v: v is not None)
    elif method == "build":
        report = s.run(method, other, lambda r: r.build(*corpus(1, 40, 4), n_fine=16, n_coarse=4), whole_router)
    elif method == "add_documents":
        addition = corpus(3, rows=12, docs=2)
        report = s.run(method, lambda: built(1), lambda r: r.add_documents(*addition), whole_router)
    elif method in ("route_query", "get_cluster_entries", "compute_query_profile", "query_cluster_overlaps"):
        extra = {"max_candidates": 50} if method == "route_query" else {}
        query = getattr(state, method)
        report = s.run(method, lambda: state, lambda _: query(QUERIES[1], n_probes=3, **extra), value_and_router)
    elif method in ("is_ready", "n_docs", "n_fine", "n_coarse"):
        report = s.run(method, lambda: state, lambda r: getattr(r, method)(), value_and_router)
    elif method == "save":
        # Over an older state file, which a failed save keeps whole.
        other().save(str(target))
        report = s.run(method, lambda: state, lambda r: r.save(str(target)), whole_router,
                       initial_files=s.files_view(), temporary=s.files / "router.tmp")
    elif method == "load":
        state.save(str(target))
        report = s.run(method, other, lambda r: r.load(str(target)), whole_router, initial_files=s.files_view())
    else:
        raise SystemExit(f"unknown method {method}")
    print(json.dumps(report))


if __name__ == "__main__":
    main()
