# make demo  - set everything up (virtual environment, build) and run the demonstration
# make test  - set everything up and run the whole test suite
# make bench - run the benchmarks
# SANITIZE=1 - build with AddressSanitizer + UndefinedBehaviorSanitizer in a separate environment
# PYTHON=python3.13 - the same targets on CPython 3.13, in their own environment (.venv-3.13)

SHELL := /bin/bash
PYTHON ?= python3.12
SANITIZE ?= 0

# The interpreter's version ("3.12") names its pyenv release and, beside the
# default 3.12, its own virtual environments.
PYVER := $(patsubst python%,%,$(notdir $(PYTHON)))
PYENV_RELEASE_3.12 := 3.12.1
PYENV_RELEASE_3.13 := 3.13.0
export PYENV_VERSION ?= $(PYENV_RELEASE_$(PYVER))
VENV_SUFFIX := $(if $(filter 3.12,$(PYVER)),,-$(PYVER))

ifeq ($(SANITIZE),1)
VENV ?= .venv-asan$(VENV_SUFFIX)
CONFIG := -Ccmake.define.MARLOVENT_SANITIZE=ON -Ccmake.build-type=Debug
RUNENV := ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"
PYFLAGS := -X dev
else
VENV ?= .venv$(VENV_SUFFIX)
CONFIG :=
RUNENV :=
PYFLAGS := -X dev
endif

PY := $(VENV)/bin/python
SOURCES := $(shell find native src -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: setup demo test bench clean sqlite-headers postgresql

setup: $(VENV)/.installed

sqlite-headers:
	@if [ ! -f /usr/include/sqlite3.h ]; then \
	  echo "installing SQLite headers (libsqlite3-dev)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libsqlite3-dev; \
	fi

# The store's tests also run against a throwaway PostgreSQL server (started
# and stopped by the test session itself, see tests/pg_server.py); the desk
# test puts it and two traders on hosts of their own (network namespaces,
# iproute2's ip).
postgresql:
	@if ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || [ ! -f /usr/include/postgresql/libpq-fe.h ] \
	    || ! command -v ip >/dev/null; then \
	  echo "installing PostgreSQL (postgresql, libpq-dev) and iproute2 for the store's tests"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql libpq-dev iproute2; \
	fi

$(PY):
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: requirements-dev.txt | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES) | sqlite-headers
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m pip install -q --no-build-isolation --no-deps $(CONFIG) .
	touch $@

demo: setup
	$(PY) examples/demo.py

test: postgresql setup
	$(RUNENV) $(PY) $(PYFLAGS) -m pytest $(PYTEST_ARGS)

bench: setup
	@for f in bench/bench_*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

clean:
	rm -rf build .venv .venv-asan .venv-3.* .venv-asan-3.*
