# Set-up is automatic: every target below creates .venv with Python 3.12,
# installs Eigen when missing and (re)installs korva when a source changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.korva-installed
SOURCES := pyproject.toml CMakeLists.txt $(wildcard korva/_native/*) \
           $(shell find korva -name '*.py' -o -name '*.csv' -o -name '*.typed' 2>/dev/null)

.PHONY: demo test bench fuzz sanitize
.DEFAULT_GOAL := test

demo: $(STAMP)
	$(PY) -m korva

test: $(STAMP)
	$(PY) -m pytest

bench: $(STAMP)
	$(PY) bench/run.py

fuzz: $(STAMP)
	$(PY) scripts/fuzz.py

# Builds an AddressSanitizer/UBSan copy of the extension in its own venv and runs the suite on it.
sanitize: $(STAMP)
	scripts/sanitize

$(PY):
	python=$$(scripts/find-python312) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	scripts/ensure-eigen
	$(PY) -m pip install -q '.[test]'
	touch $@
