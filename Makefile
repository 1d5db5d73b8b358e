# Front door: thin wrappers around CMake, CTest and the shell checks in tests/ that they run.

BUILD     ?= build
ASAN      := $(BUILD)/asan
FILE      ?= examples/hello.enc
FUZZ_SECONDS ?= 60
PREFIX    ?= /usr/local
SANITIZE  := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

# Debian's hardening flags (stack protector, fortified calls, immediate binding), as
# dpkg-buildflags gives them to every package, for the program and its package alike; where
# there is no dpkg-buildflags, the compiler's defaults.
DEB_FLAGS := DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
HARDENING := $(if $(shell command -v dpkg-buildflags),\
  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)")

# Every archive and package carries the commit's time rather than the time of the build.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

CROSS_ARCHS ?= arm64 s390x
WINDOWS_ARCHS ?= i686 x86_64
STATIC_ARCHS ?= x86_64 arm64
DISTROS ?= bullseye bookworm trixie

# One system check through CTest, its output shown as it runs; its options go in the environment.
SYSTEM = cd $(BUILD) && CROSS_ARCHS='$(CROSS_ARCHS)' WINDOWS_ARCHS='$(WINDOWS_ARCHS)' \
  STATIC_ARCHS='$(STATIC_ARCHS)' DISTROS='$(DISTROS)' \
  ctest --verbose -L system -R

.PHONY: all run test test-release test-asan test-tsan install uninstall deb bench bench-windows check-32 check-cross check-recipes \
  check-windows check-static check-distros check-dist static dist fuzz clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(HARDENING)
	cmake --build $(BUILD) --parallel

# FILE reaches the program as one word, as it was given: blanks, quotes and $ included.
# Standard output carries the plaintext only: the build's messages go to standard error.
run:
	@$(MAKE) --no-print-directory all >&2
	@$(BUILD)/ecbcat '$(subst ','\'',$(value FILE))'

test: test-release test-asan

test-release: all
	cd $(BUILD) && ctest --output-on-failure -LE system

test-asan:
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)"
	cmake --build $(ASAN) --parallel
	cd $(ASAN) && ctest --output-on-failure -LE system

# ecbcat-batch built with ThreadSanitizer, through its table of trees, faults and signals.
test-tsan:
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
	cmake --build $(BUILD)/tsan --parallel --target ecbcat-batch ecbcat-batch_faulty
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^batch-'

# Honours DESTDIR, as cmake --install does. What an install put in place is listed in
# $(BUILD)/install_manifest.txt and the folders it made in install_folders.txt, for make
# uninstall; an install with DESTDIR (staging a package) keeps its lists apart, in
# install_manifest_ecbcat.txt and install_folders_ecbcat.txt, so that the lists of an install
# on this system stay.
STAGED = $(if $(DESTDIR),_ecbcat)
install: all
	cmake --install $(BUILD) --prefix $(PREFIX) $(if $(DESTDIR),--component ecbcat)

# Removes what the last make install with the same PREFIX and DESTDIR put in place, then the
# folders it made, those left empty.
uninstall:
	packaging/uninstall.sh '$(BUILD)/install_manifest$(STAGED).txt' \
	  '$(BUILD)/install_folders$(STAGED).txt' '$(DESTDIR)' '$(PREFIX)'

# build/ecbcat_<version>_<arch>.deb, with its libssl dependency from dpkg-shlibdeps (so it
# needs dpkg-dev), then checked, with lintian when it is installed. MAINTAINER='Name <addr>'
# sets the Maintainer field (kept in the build's cache).
deb: all
	cmake -S . -B $(BUILD)/deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DECBCAT_DEBIAN_LAYOUT=ON -DCMAKE_INSTALL_PREFIX=/usr $(HARDENING) \
	  $(if $(MAINTAINER),-DECBCAT_MAINTAINER="$(MAINTAINER)")
	cmake --build $(BUILD)/deb --parallel
	cd $(BUILD)/deb && cpack -B $(abspath $(BUILD))
	rm -rf $(BUILD)/_CPack_Packages
	$(SYSTEM) '^deb$$'

# BENCH_MB (default 1024) sizes the input, BENCH_RUNS (default 5) the runs per command.
bench: all
	tools/bench.sh $(BUILD)

bench-windows:
	tools/bench-windows.sh $(BUILD)

# libFuzzer for FUZZ_SECONDS over the committed seeds; new finds go to $(BUILD)/fuzz/corpus.
fuzz:
	CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DECBCAT_FUZZ=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined"
	cmake --build $(BUILD)/fuzz --parallel --target decrypt_fuzz
	mkdir -p $(BUILD)/fuzz/corpus
	$(BUILD)/fuzz/fuzz/decrypt_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=140000 \
	  -print_final_stats=1 $(BUILD)/fuzz/corpus fuzz/seeds

# The release in $(BUILD)/dist/, byte for byte the same from the same commit (see tools/dist.sh).
dist: deb static
	tools/dist.sh $(BUILD)

# Two make dist runs in two clones, at two times, must give the same bytes.
check-dist: all
	$(SYSTEM) '^dist$$'

# ecbcat and ecbcat-batch linked statically for STATIC_ARCHS, in $(BUILD)/static/ARCH/.
static:
	STATIC_ARCHS='$(STATIC_ARCHS)' tools/static.sh $(BUILD)

# The static programs in an empty root against the dynamic build.
check-static: all static
	$(SYSTEM) '^static$$'

# make test in a chroot of each supported Debian release (DISTROS), and the static program there.
check-distros: all static
	$(SYSTEM) '^distros$$'

# A 32-bit x86 build decrypting a file past 4 GiB, compared with the native build.
check-32: all
	$(SYSTEM) '^i386$$'

# The suite built for CROSS_ARCHS with clang and run under qemu-user; each foreign binary's
# output compared with the native build's.
check-cross: all
	$(SYSTEM) '^cross$$'

# Every command of the README's shell blocks and the manual page's examples, as written there,
# under bash and dash; the many-machines line against two sshd on loopback (as root).
check-recipes: all
	$(SYSTEM) '^recipes$$'

# ecbcat.exe for WINDOWS_ARCHS, left in $(BUILD)/win-<arch>/, run under wine and compared with
# the native build's output.
check-windows: all
	$(SYSTEM) '^windows$$'

clean:
	rm -rf $(BUILD)
