# Every target installs what it needs first, so each works on a fresh machine.
PYTHON ?= python3
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv-$(PYVER)
VPY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: help deps build run demo test bench sanitize clean

DEMO_ARGS ?=

help:            ## list the targets
	@grep -E '^[a-z-]+:.*## ' $(MAKEFILE_LIST) | sed 's/:.*## /\t/'

deps:            ## install the Debian packages and the Python build and test tools
	./scripts/install-system-packages
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check \
	  "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja pytest hypothesis

build: deps      ## build and install the module and the launcher into the virtual environment
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation .

run: build       ## start the interactive client
	$(VENV)/bin/marnu-tails-client

demo: build      ## run the client in the simulated Tails host (sandbox/): demo accounts, real OpenVPN, ferm and SOCKS5
	$(VPY) sandbox/demo $(DEMO_ARGS)

test: build      ## run every test
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

# The peers: requests with SOCKS support, and pycurl built against the same
# libcurl as the client (not a wheel with a libcurl of its own).
bench: build     ## measure our overhead against the peers; prints a table, writes bench/results.json
	$(VPY) -m pip install -q --disable-pip-version-check "requests[socks]" PySocks
	$(VPY) -m pip install -q --disable-pip-version-check --no-binary pycurl pycurl
	$(VPY) bench/run.py

# The sanitized module lives in its own environment and build tree; Python
# itself is not instrumented, so the ASan runtime is preloaded and leak
# reports (the interpreter's own) are off.
SANVENV := .venv-sanitize-$(PYVER)
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so)
UBSAN_RUNTIME = $(shell g++ -print-file-name=libubsan.so)

sanitize: deps   ## build with AddressSanitizer and UndefinedBehaviorSanitizer and run every test under them
	test -x $(SANVENV)/bin/python || $(PYTHON) -m venv $(SANVENV)
	$(SANVENV)/bin/python -m pip install -q --disable-pip-version-check \
	  "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja pytest hypothesis
	MARNU_SANITIZE=ON $(SANVENV)/bin/python -m pip install -q --disable-pip-version-check \
	  --no-build-isolation -C build-dir=build/sanitize-{wheel_tag} .
	LD_PRELOAD="$(ASAN_RUNTIME) $(UBSAN_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SANVENV)/bin/python -m pytest -q $(PYTEST_ARGS) tests

clean:           ## remove build trees and virtual environments
	rm -rf build .venv-*
