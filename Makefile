# make run: install what is missing, build, start Velmo.  make test: the same, then every test.
# make install [PREFIX=~/.local] [DESTDIR=…]; make uninstall removes what it installed.
BUILD ?= build
SAN_BUILD ?= build-san
JOBS ?= 2
FUZZ_SECONDS ?= 60
PREFIX ?= $(HOME)/.local
DESTDIR ?=
SOAK_PROMPTS ?= 200
PACKAGE_DIR ?= $(BUILD)/package
INSTALLED ?= $(BUILD)/installed-files.txt

.PHONY: all deps configure build run serve demo test test-loaded unit e2e page bench sanitize fuzz \
	lint soak clean install uninstall package

all: build

deps:
	@scripts/install-deps

configure:
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/velmo

serve: build
	$(BUILD)/velmo --serve

# Three real agents on a throwaway home; Ctrl+C stops them all and removes it.
demo: build
	@scripts/demo $(BUILD)

# After every test, the unit tests once more under ASan and UBSan (a build folder of their own).
# That build runs meanwhile at a lower priority: the tests mostly wait on real agents.
test: build
	@status=0; log=$$(mktemp); \
	(JOBS=$(JOBS) nice -n 10 scripts/sanitize $(SAN_BUILD) --build-only >$$log 2>&1) & san=$$!; \
	scripts/run-tests $(BUILD) || status=1; \
	wait $$san || { cat $$log; status=1; }; rm -f $$log; \
	JOBS=$(JOBS) scripts/sanitize $(SAN_BUILD) || status=1; \
	if [ -s $(BUILD)/test-failures.txt ]; then \
	  echo "==== what failed ===="; cat $(BUILD)/test-failures.txt; fi; exit $$status

# The integration and page sets as CI runs them, on a machine kept busy: two busy loops at a
# lower priority run from before the first test to after the last (LOAD_LOOPS sets how many).
# A test that holds only on an idle machine fails here rather than in CI.
LOAD_LOOPS ?= 2
test-loaded: build
	@VELMO_LOAD_LOOPS=$(LOAD_LOOPS) scripts/run-tests --loaded $(BUILD) || { \
	  echo "==== what failed ===="; cat $(BUILD)/test-failures.txt 2>/dev/null; exit 1; }

sanitize: deps
	@JOBS=$(JOBS) scripts/sanitize $(SAN_BUILD)

# Each fuzz target for FUZZ_SECONDS; crash inputs land in tests/fuzz/crashes/<target>/.
fuzz: deps
	@JOBS=$(JOBS) scripts/fuzz $(SAN_BUILD) $(FUZZ_SECONDS)

unit: build
	@cd $(BUILD) && ctest -L unit --output-on-failure -j$(JOBS)

e2e: build
	@cd $(BUILD) && ctest -L e2e --output-on-failure

page: build
	@cd tests/page && VELMO_BINARY=$(CURDIR)/$(BUILD)/velmo node --test --test-concurrency=1 .

bench: build
	@bench/run $(BUILD)

# SOAK_PROMPTS real prompts on several agents, answered through the page, notifications and
# velmo-q at random; prints what was sent and what the model received (SOAK_SEED repeats a run).
soak: build
	@VELMO_BINARY=$(CURDIR)/$(BUILD)/velmo SOAK_PROMPTS=$(SOAK_PROMPTS) node tests/soak/soak.mjs

lint: build
	@JOBS=$(JOBS) scripts/lint $(BUILD)

# The prefix is given to the install, not to the build: nothing built depends on it. What
# each install wrote is added to INSTALLED, which make uninstall reads: CMake's own manifest
# is rewritten by every install (the package's included) and leaves DESTDIR out.
STAGE = $(if $(DESTDIR),$(abspath $(DESTDIR)))
install: build
	@rm -f $(BUILD)/install_manifest.txt
	@DESTDIR="$(STAGE)" cmake --install $(BUILD) --strip --prefix "$(abspath $(PREFIX))"
	@{ cat "$(INSTALLED)" 2>/dev/null; \
	  STAGE="$(STAGE)" awk 'NF { print ENVIRON["STAGE"] $$0 }' $(BUILD)/install_manifest.txt; } | \
	  LC_ALL=C sort -u >"$(INSTALLED).new" && mv "$(INSTALLED).new" "$(INSTALLED)"
	@case ":$$PATH:" in *":$(abspath $(PREFIX))/bin:"*) ;; *) [ -n "$(DESTDIR)" ] || \
	  echo "note: $(abspath $(PREFIX))/bin is not on your PATH";; esac
	@[ -n "$(DESTDIR)" ] || scripts/refresh-desktop "$(abspath $(PREFIX))"

# Exactly the files the installs from this build folder wrote.
uninstall:
	@scripts/uninstall "$(INSTALLED)"

# A Debian package (velmo_VERSION_ARCH.deb) in PACKAGE_DIR.
package: build
	@cd $(BUILD) && cpack -G DEB -B "$(abspath $(PACKAGE_DIR))"

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
