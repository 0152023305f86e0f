# make demo: set up, build and run the quick start.  make test: the test suite.
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard module/*.cpp module/*.h) meson.build pyproject.toml
READY := $(VENV)/.ready
BUILT := $(VENV)/.built

.PHONY: demo test build bench check-memory clean

demo: $(BUILT)
	$(PY) examples/quickstart.py

test: $(BUILT)
	$(PY) -m pytest -q tests

build: $(BUILT)

bench: $(BUILT)
	bash bench/run.sh

check-memory: $(BUILT)
	bash scripts/check_memory.sh

$(READY): scripts/setup.sh requirements-dev.txt
	bash scripts/setup.sh
	touch $@

$(BUILT): $(READY) $(SOURCES)
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf $(VENV) build dist .pytest_cache
	find . -name __pycache__ -prune -exec rm -rf {} +
