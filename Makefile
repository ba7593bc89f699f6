# make demo   - create the environment, build, install and scan the bundled genome with
#               `morvane scan`, naming the phage operators among the hits
# make test   - the same set-up, then the whole test suite: on NumPy 2.x and on NumPy 1.26
#               under Python 3.12, on Python 3.13, the numeric kernels in C++, and the
#               suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# make bench  - the same set-up, then timings against baselines measured in the same run
# make bench-kernels - the kernels' C++ benchmark, per SIMD path
SHELL := /bin/bash
PYTHON := $(shell tools/find-python 3.12)
PYTHON313 = $(shell tools/find-python 3.13)
VENV := .venv
VENV_NP1 := .venv-np1
VENV_313 := .venv-py313
DEV_BUILD := build/dev
DEPS := pysam biopython tqdm pytest hypothesis
BUILD := scikit-build-core cmake ninja
EXTRAS := mypy matplotlib "dask[distributed]" pyjaspar pandas

.PHONY: demo bench bench-kernels dev-build test test-kernels test-sanitize test-np2 test-np1 test-py313 wheel install install-np1 env env-np1 clean

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q "numpy>=2" $(DEPS) $(BUILD) $(EXTRAS)
	touch $@

$(VENV_NP1)/.ready:
	$(PYTHON) -m venv $(VENV_NP1)
	$(VENV_NP1)/bin/python -m pip install -q --upgrade pip
	$(VENV_NP1)/bin/python -m pip install -q "numpy==1.26.*" $(DEPS)
	touch $@

$(VENV_313)/.ready:
	$(PYTHON313) -m venv $(VENV_313)
	$(VENV_313)/bin/python -m pip install -q --upgrade pip
	$(VENV_313)/bin/python -m pip install -q "numpy>=2" $(DEPS) $(BUILD)
	touch $@

env: $(VENV)/.ready
env-np1: $(VENV_NP1)/.ready

# One wheel, built against NumPy 2 headers, serves both NumPy majors.
wheel: env
	rm -rf dist
	$(VENV)/bin/python -m pip wheel -q --no-deps --no-build-isolation -w dist .

install: wheel
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/morvane-*.whl

install-np1: wheel env-np1
	$(VENV_NP1)/bin/python -m pip install -q --force-reinstall --no-deps dist/morvane-*.whl

# The hits at p < 1e-5 of the bundled cI motif, with the operator each one is
# (from data/lambda_operators.bed) in a last column.
demo: install
	$(VENV)/bin/morvane scan data/lambda_virus.fa data/lambda_cI.jaspar --pvalue 1e-5 --quiet \
	  | awk -F'\t' -v OFS='\t' 'NR == FNR { op[$$2] = $$4; next } /^#/ { print; next } \
	                            { print $$0, ($$2 in op ? op[$$2] : "-") }' data/lambda_operators.bed -

# Peers timed side by side; not dependencies of the package. A peer that
# cannot be installed is skipped by the benchmark with the reason printed.
BENCH_PEERS := MOODS-python memelite

# The kernel tests, the kernel benchmark and the benchmarks' C++ reference,
# built by CMake with the extension's own flags.
dev-build: env
	$(VENV)/bin/cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DCMAKE_BUILD_TYPE=Release -DMORVANE_DEV=ON -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python > /dev/null
	$(VENV)/bin/cmake --build $(DEV_BUILD) --target test_kernels test_scan bench_kernels reference_dwm

bench: install dev-build
	for p in $(BENCH_PEERS); do $(VENV)/bin/python -m pip install -q $$p || echo "bench: could not install $$p"; done
	MORVANE_REFERENCE_DWM=$(DEV_BUILD)/libreference_dwm.so MORVANE_BENCH_KERNELS=$(DEV_BUILD)/bench_kernels \
		$(VENV)/bin/python benchmarks/bench.py

bench-kernels: dev-build
	$(DEV_BUILD)/bench_kernels

# The numeric kernels alone, in C++ (every SIMD path the CPU has).
test-kernels: dev-build
	$(VENV)/bin/ctest --test-dir $(DEV_BUILD) --output-on-failure

test-np2: install
	$(VENV)/bin/python -m pytest -q -p no:cacheprovider tests

test-np1: install-np1
	$(VENV_NP1)/bin/python -m pytest -q -p no:cacheprovider tests

test-py313: $(VENV_313)/.ready
	$(VENV_313)/bin/python -m pip install -q --no-deps --no-build-isolation --force-reinstall .
	$(VENV_313)/bin/python -m pytest -q -p no:cacheprovider tests

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-sanitize: env
	PYTHON=$(VENV)/bin/python tools/sanitize

test: test-kernels test-np2 test-np1 test-py313 test-sanitize

clean:
	rm -rf build dist $(VENV) $(VENV_NP1) $(VENV_313)
