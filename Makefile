# Set-up is automatic: every target below creates .venv with Python 3.12,
# installs Eigen when missing and (re)installs korva when a source changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.korva-installed
SOURCES := pyproject.toml CMakeLists.txt $(wildcard korva/_native/*) \
           $(shell find korva -name '*.py' -o -name '*.csv' 2>/dev/null)

.PHONY: demo test
.DEFAULT_GOAL := test

demo: $(STAMP)
	$(PY) -c "import korva_core as k; print('mdl_score =', k.mdl_score([0.0, 0.1, 0.9, 2.5], [0.0, 0.0, 1.0, 5.0], 2))"

test: $(STAMP)
	$(PY) -m pytest

$(PY):
	python=$$(scripts/find-python312) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	scripts/ensure-eigen
	$(PY) -m pip install -q '.[test]'
	touch $@
