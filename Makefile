# Every target installs what it needs first, so each works on a fresh machine.
PYTHON ?= python3
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv-$(PYVER)
VPY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: help deps build run demo test dist-tools dist tails-systems test-tails tor-tools test-tor bench sanitize memcheck fuzz clean

DEMO_ARGS ?=
# make demo TAILS=6 or 7: the demo in a Tails-like system, with the package of make dist.
TAILS ?=
# make demo TOR=real, make test-tor: Debian's tor in a private Tor network (sandbox/tor_network.py).
TOR ?=
# What the Tails-like systems (sandbox/tails_root.py) and make dist
# (scripts/build-debian-packages: sbuild in unshare mode) are made with, and
# what boots the systems (systemd-nspawn, installed without its Recommends:
# libnss-mymachines would edit this machine's /etc/nsswitch.conf).
TAILS_TOOLS := mmdebstrap debian-archive-keyring apt-utils dpkg-dev util-linux git python3 sbuild uidmap \
  systemd-container
# Real Tor's relays and the host's Tor, and the real-Tor suite's capture tool
# (installed with service starts held back: no Tor starts on this machine).
TOR_TOOLS := tor tcpdump curl

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

demo: build      ## run the client in the simulated Tails host (sandbox/): demo accounts, real OpenVPN, ferm and SOCKS5; TAILS=6|7: in a Tails-like system; TOR=real: with real Tor
ifneq ($(TAILS),)
	./scripts/install-system-packages $(TAILS_TOOLS)
	ls dist/tails$(TAILS)/*.deb >/dev/null 2>&1 || $(MAKE) dist
endif
ifeq ($(TOR),real)
	$(MAKE) tor-tools
endif
	$(VPY) sandbox/demo $(if $(TAILS),--tails $(TAILS)) $(if $(TOR),--tor $(TOR)) $(DEMO_ARGS)

test: build      ## run every test
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

# The peers: requests with SOCKS support, and pycurl built against the same
# libcurl as the client (not a wheel with a libcurl of its own).
# BENCH_ARGS="--rounds-scale 0.1 --no-goals": the quick run of CI.
BENCH_ARGS ?=
bench: build tor-tools  ## measure our overhead against the peers, and the tunnel's return; prints a table, writes bench/results.json; fails on a goal not met
	$(VPY) -m pip install -q --disable-pip-version-check "requests[socks]" PySocks
	$(VPY) -m pip install -q --disable-pip-version-check --no-binary pycurl pycurl
	$(VPY) bench/run.py $(BENCH_ARGS)

# The sanitized module lives in its own environment and build tree, whose
# interpreter is linked with the sanitizer runtimes (scripts/sanitized_python.cpp):
# the module can load in every Python a test starts, and no other program
# gets the runtimes. It keeps its symbols (RelWithDebInfo: not stripped) and
# its assertions (CMakeLists.txt), so pybind11 checks the Python lock too.
SANVENV := .venv-sanitize-$(PYVER)

sanitize: deps   ## build with AddressSanitizer and UndefinedBehaviorSanitizer and run every test under them
	test -x $(SANVENV)/bin/python || $(PYTHON) -m venv $(SANVENV)
	./scripts/build-sanitized-python $(PYTHON) $(SANVENV)
	$(SANVENV)/bin/python -m pip install -q --disable-pip-version-check \
	  "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja pytest hypothesis
	MARNU_SANITIZE=ON $(SANVENV)/bin/python -m pip install -q --disable-pip-version-check \
	  --no-build-isolation --config-settings=build-dir=build/sanitize-{wheel_tag} \
	  --config-settings=cmake.build-type=RelWithDebInfo .
	$(SANVENV)/bin/python -m pytest -q $(PYTEST_ARGS) tests

memcheck: build  ## run every operation under valgrind memcheck: no error, no block lost by the module
	./memcheck/run $(VPY)

# libFuzzer targets on the Python-free cores, each built with ASan and UBSan
# from fuzz/<target>.cpp and the sources it exercises, and run from its
# committed seeds (fuzz/corpus/<target>) for FUZZ_SECONDS seconds.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := menu_choice_fuzz credential_url_fuzz zip_extract_fuzz ferm_rewrite_fuzz \
  password_command_fuzz visible_text_fuzz
FUZZ_CXXFLAGS := -std=c++20 -g -O1 -Wall -Wextra -Werror -Isrc \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
menu_choice_fuzz_SOURCES := src/client/menu_choice.cpp
credential_url_fuzz_SOURCES := src/api/api_url.cpp
credential_url_fuzz_LIBS = $(shell pkg-config --libs libcurl)
zip_extract_fuzz_SOURCES := src/api/key_bundle.cpp src/common/private_files.cpp src/api/zip_library.cpp \
  src/common/shared_library.cpp src/common/errors.cpp src/common/fd_io.cpp
# The soname the module's build reads from the library, as it does.
zip_extract_fuzz_LIBS = -DMARNU_ZIP_SONAME='"$(shell objdump -p $$(pkg-config --variable=libdir libzip)/libzip.so | sed -n 's/ *SONAME *//p')"' \
  $(shell pkg-config --libs libzip) -ldl
ferm_rewrite_fuzz_SOURCES := src/tunnel_config/ferm_rewrite.cpp src/api/server_settings_check.cpp
visible_text_fuzz_SOURCES := src/common/visible_text.cpp
password_command_fuzz_SOURCES := src/tunnel_control/connection_command.cpp src/tunnel_control/password_handover.cpp src/common/errors.cpp src/common/fd_io.cpp

.SECONDEXPANSION:
$(FUZZ_BUILD)/%_fuzz: fuzz/%_fuzz.cpp $$($$*_fuzz_SOURCES) $$(wildcard src/*/*.h fuzz/*.h)
	@mkdir -p $(@D)
	clang++ $(FUZZ_CXXFLAGS) -o $@ $< $($*_fuzz_SOURCES) $($*_fuzz_LIBS)

# The ZIP target makes its scratch folder in the working directory; the
# password target runs as root in a mount namespace of its own.
fuzz: deps $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/%)  ## build the fuzz targets and run each for FUZZ_SECONDS (60) seconds
	@set -e; for target in $(FUZZ_TARGETS); do \
	  echo "== $$target: $(FUZZ_SECONDS) s"; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/artifacts; \
	  dict=fuzz/$${target%_fuzz}.dict; \
	  (cd $(FUZZ_BUILD) && ./$$target -max_total_time=$(FUZZ_SECONDS) -timeout=20 -print_final_stats=1 \
	    $$(test -f $$dict && echo -dict=$(CURDIR)/$$dict) -artifact_prefix=artifacts/$$target- \
	    corpus/$$target $(CURDIR)/fuzz/corpus/$$target); \
	done

# Debian's own tooling in clean Debian roots (scripts/build-debian-packages);
# this machine gives only mmdebstrap and the source (git archive HEAD).
dist-tools:      ## install the Debian tools that make dist and the Tails-like systems need
	./scripts/install-system-packages $(TAILS_TOOLS)

# SIGNING_KEY=<fingerprint>: gpg signs dist/SHA256SUMS with that key.
SIGNING_KEY ?=

dist: dist-tools ## as root: the Debian packages and portable bundles for Tails 6 and 7 (dist/tails6, dist/tails7, dist/SHA256SUMS; SIGNING_KEY=<fingerprint> signs)
	SIGNING_KEY="$(SIGNING_KEY)" ./scripts/build-debian-packages

# The end-to-end suite against each Tails major's package in a Tails-like
# system (sandbox/tails_root.py) booted as Tails boots (sandbox/tails_boot.py),
# with OpenVPN brought by the package's Recommends and installed by the
# client's own apt at its first Connect.
# make dist compiles while the systems' roots download. Every combination
# runs; the target fails if any did.
# (The systems need only this machine's python3: .ci/run makes them in the
# background while the other suites run.)
tails-systems: dist-tools  ## as root: make dist and the Tails 6 and 7 systems, the package installed with and without Recommends
	$(MAKE) dist & dist=$$!; \
	  python3 -m sandbox.tails_root --roots-only 6 7; roots=$$?; \
	  wait $$dist && [ $$roots -eq 0 ]
	python3 -m sandbox.tails_root 6 7
	python3 -m sandbox.tails_root --no-recommends 6 7

# The two-minute wait for a server that never answers runs once a system,
# where OpenVPN came with the package: how OpenVPN was installed changes
# nothing of it.
SILENT_SERVER_TEST := tests/test_end_to_end.py::test_a_connect_to_a_server_that_never_answers_ends_after_two_minutes_with_nothing_left

# The two Tails majors' suites run side by side (each with its own pytest
# folder and log, printed once both are done): their hosts mostly wait.
test-tails: deps tails-systems  ## as root: the package and bundle tests and the end-to-end suite in the Tails 6 and 7 systems
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests/test_package.py tests/test_release_files.py tests/test_bundle.py
	@rm -f build/test-tails-failed; for tails in 6 7; do \
	  for openvpn in recommends apt; do \
	    echo "== end-to-end suite: Tails $$tails, OpenVPN by $$openvpn"; \
	    MARNU_SANDBOX_TAILS=$$tails MARNU_SANDBOX_OPENVPN=$$openvpn \
	      $(VPY) -m pytest -q $(PYTEST_ARGS) --basetemp=build/pytest-tmp-tails$$tails \
	      $$([ $$openvpn = apt ] && echo "--deselect $(SILENT_SERVER_TEST)") \
	      tests/test_end_to_end.py || echo "$$tails/$$openvpn" >> build/test-tails-failed; \
	  done > build/test-tails-$$tails.log 2>&1 & \
	done; wait; cat build/test-tails-6.log build/test-tails-7.log; \
	if [ -e build/test-tails-failed ]; then \
	  echo "test-tails: failed in (Tails/OpenVPN):" $$(cat build/test-tails-failed) >&2; exit 1; fi

# The real-Tor suite: one sandbox with Debian's tor in a private Tor network
# serves the session (tests/test_tor.py); TAILS=6|7 runs it in that
# Tails-like system, with the package of make dist (the system is made first
# if it is not cached yet).
tor-tools:       ## install the Debian packages that real Tor in the sandbox needs (tor, tcpdump, curl), no service started
	./scripts/install-system-packages $(TOR_TOOLS)

test-tor: build tor-tools  ## as root: the real-Tor suite (tests/test_tor.py), the host's sudo asking; TAILS=6|7: in a Tails-like system
ifneq ($(TAILS),)
	./scripts/install-system-packages $(TAILS_TOOLS)
	ls dist/tails$(TAILS)/*.deb >/dev/null 2>&1 || $(MAKE) dist
	$(VPY) sandbox/run --tails $(TAILS) --prepare >/dev/null
endif
	MARNU_SANDBOX_TOR=real $(if $(TAILS),MARNU_SANDBOX_TAILS=$(TAILS)) $(VPY) -m pytest -q $(PYTEST_ARGS) \
	  --basetemp=build/pytest-tmp-tor$(TAILS) tests/test_tor.py

clean:           ## remove build trees and virtual environments
	rm -rf build .venv-*
