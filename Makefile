# make demo: set up, build and run the quick start.  make test: the test suite.
VENV ?= .venv
PY := $(VENV)/bin/python
# What the build reads: not the bytecode that running the package leaves in
# kvstore/__pycache__.
SOURCES := $(wildcard module/*.cpp module/*.h kvstore/*.py) kvstore/py.typed meson.build meson.options pyproject.toml _kvstore.pyi
READY := $(VENV)/.ready
BUILT := $(VENV)/.built

.PHONY: demo test build bench check-memory clean

## demo: set up when needed, build, and run examples/quickstart.py and examples/package_and_cli.py
demo: $(BUILT)
	$(PY) examples/quickstart.py
	$(PY) examples/package_and_cli.py

## test: set up and build when needed, then run the test suite: on every core, then the serial tests alone
# One worker per core, each taking whole files, and a line as each file
# starts. The tests marked serial (kills at chosen moments, waits bounded
# from above, objects of over 2 GiB, mounts) run after the rest, one at a
# time. The leak tests measure their own process's memory, which another
# worker does not share: they run with the rest.
test: $(BUILT)
	$(PY) -m pytest -q -n auto --dist loadfile -m "not serial" tests
	$(PY) -m pytest -q -m serial tests

## build: (re)install the module into .venv when its sources changed
build: $(BUILT)

## bench: run the benchmarks (see docs/performance.md)
bench: $(BUILT)
	bash bench/run.sh

## check-memory: run the memory checks (see docs/testing.md)
check-memory: $(BUILT)
	bash scripts/check_memory.sh

$(READY): scripts/setup.sh $(wildcard requirements-*.txt)
	bash scripts/setup.sh
	touch $@

# The build takes meson and ninja from .venv, never from elsewhere on PATH.
$(BUILT): $(READY) $(SOURCES)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

## clean: remove the virtual environment, build output and caches
clean:
	rm -rf $(VENV) build dist .pytest_cache
	find . -name __pycache__ -prune -exec rm -rf {} +

# Every target documented with a "## name: text" line above it is listed.
.PHONY: help
## help: list these targets
help:
	@sed -n 's/^## \([^:]*\): /  \1\t/p' $(MAKEFILE_LIST) | expand -t 18

.PHONY: bench-callgrind
## bench-callgrind: instructions per operation, _kvstore against the C floor (valgrind)
bench-callgrind: $(BUILT)
	bash bench/run.sh callgrind

.PHONY: bench-parallel
## bench-parallel: the parallel-reads benchmark alone: interpreters against threads (about a minute)
bench-parallel: $(BUILT)
	bash bench/run.sh parallel

.PHONY: fuzz-long
## fuzz-long: the property, thread and damaged-file tests at many times their CI size
fuzz-long: $(BUILT)
	bash scripts/fuzz_long.sh

.PHONY: bench-check
## bench-check: fail when a hot-path callgrind ratio (_kvstore / C floor, kvstore / _kvstore) rises >3% over bench/callgrind-baseline.json or over its limit
bench-check: $(BUILT)
	BENCH_OUT=build/bench-check bash bench/run.sh callgrind >/dev/null
	$(PY) bench/check_callgrind.py build/bench-check/callgrind.json bench/callgrind-baseline.json

.PHONY: crash-long
## crash-long: writers killed at random points on an XFS image, 300 trials (root, xfsprogs)
crash-long: $(BUILT)
	KVSTORE_TEST_SCALE=$${CRASH_SCALE:-30} $(PY) -m pytest -q -p no:cacheprovider tests/safety/test_crash_tolerance.py tests/files/test_durability.py -k "killed or full_disk"

.PHONY: crash-batches
## crash-batches: children killed at random points in and during the commit of batches, 320 kills
crash-batches: $(BUILT)
	KVSTORE_TEST_SCALE=$${CRASH_SCALE:-20} $(PY) -m pytest -q -s -p no:cacheprovider tests/package/test_batches.py -k killed

.PHONY: bench-batches
## bench-batches: a batch against the same changes one by one, 1,000 to 100,000 changes
bench-batches: $(BUILT)
	$(PY) bench/batches.py

.PHONY: wheels wheel check-wheels
## wheels: the sdist and six manylinux2014 wheels (cp313-cp315, x86_64 and aarch64) in dist/ (see docs/installing.md)
wheels: $(READY)
	bash scripts/wheels.sh

## wheel: the wheel of .venv's interpreter for this machine's architecture alone
wheel: $(READY)
	bash scripts/wheels.sh $$($(PY) -c 'import sys, platform; print("cp%d%d-%s" % (*sys.version_info[:2], platform.machine()))')

## check-wheels: each wheel in dist/ installed and tested in a root of its architecture with neither gdbm nor a compiler
check-wheels: $(READY)
	KVSTORE_WHEELS_BUILT=1 bash scripts/check_matrix.sh wheel-cp313-x86_64 wheel-cp314-x86_64 wheel-cp315-x86_64 \
		wheel-cp313-aarch64 wheel-cp314-aarch64-package wheel-cp315-aarch64-package

.PHONY: docs check-workflows
## docs: the documentation pages in build/docs (Sphinx, offline; any warning fails)
docs: $(BUILT)
	rm -rf build/docs
	$(PY) -m sphinx -b html -E -W --keep-going -n -q docs build/docs

## check-workflows: actionlint on .github/workflows
check-workflows: $(READY)
	$(VENV)/bin/actionlint -no-color .github/workflows/*.yml

.PHONY: check-matrix
## check-matrix: the behaviour tests on each supported platform, in Debian roots (see docs/installing.md)
check-matrix: $(READY)
	bash scripts/check_matrix.sh

.PHONY: bench-lock-wait
## bench-lock-wait: how soon kvstore.open(timeout=) gets a file another process lets go of, and its CPU meanwhile
bench-lock-wait: $(BUILT)
	$(PY) bench/lock_wait.py

.PHONY: bench-shared
## bench-shared: 2 and 4 processes doing get-or-set on one store, read-mostly and write-heavy: kvstore.Shared against kvstore.open per operation, diskcache, lmdb, sqlitedict and dbm.sqlite3
bench-shared: $(BUILT)
	$(PY) -c 'import lmdb, diskcache, sqlitedict' 2>/dev/null || $(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	$(PY) bench/shared.py

.PHONY: bench-shared-reader
## bench-shared-reader: a reorganize of 500,000 records with reader threads sharing the Database, against alone
bench-shared-reader: $(BUILT)
	$(PY) bench/shared_reader.py

.PHONY: bench-stall
## bench-stall: how long other threads wait during dump, load, reorganize and recover (1,000,000 records)
bench-stall: $(BUILT)
	$(PY) bench/stall.py
